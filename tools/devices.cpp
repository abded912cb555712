// tavo devices, --device, and what the tool says when no unit opens: the
// bridges as the provider sees them, and why a unit cannot be used.
#include <cstdio>
#include <string>
#include <vector>

#include "tool.h"

namespace tavo {
namespace {

constexpr unsigned kListByIndex = 0x40000000u;
constexpr unsigned kBySerial = 1u;
constexpr unsigned kByDescription = 2u;

std::vector<tavo_bridge> ListBridges(const tavoload::Bridges &b) {
  std::vector<tavo_bridge> rows;
  int n = b.list(nullptr, 0);
  if (n <= 0) return rows;
  rows.resize(static_cast<size_t>(n));
  n = b.list(rows.data(), n);
  rows.resize(static_cast<size_t>(n < 0 ? 0 : n));
  return rows;
}

}  // namespace

int Devices(Tool &t) {
  if (!ArgumentsFit(t, 0)) return kExitUsage;
  if (t.bridges.list != nullptr) {
    std::vector<tavo_bridge> rows = ListBridges(t.bridges);
    int usable = 0;
    if (rows.empty()) std::printf("no USB-serial bridge found\n");
    for (const tavo_bridge &r : rows) {
      bool ok = r.unit && r.index >= 0 && r.problem[0] == 0;
      usable += ok ? 1 : 0;
      std::printf("%-6s %04X:%04X  serial %-16s %-28s %s\n",
                  r.unit ? "unit" : "other", r.id >> 16, r.id & 0xFFFF,
                  r.serial[0] ? r.serial : "?", r.description, r.location);
      if (r.problem[0] != 0)
        std::printf("       cannot be used: %s\n", r.problem);
    }
    std::printf("%d unit%s ready%s\n", usable, usable == 1 ? "" : "s",
                usable > 1 ? " (choose one with --device SERIAL)" : "");
    return usable > 0 ? kExitOk : kExitUnitFailed;
  }
  // A provider without the bridge list (the vendor's library, the virtual
  // unit): its devices by index, as FT_ListDevices gives them.
  unsigned count = 0;
  if (t.bridges.listDevices == nullptr ||
      t.bridges.listDevices(&count, nullptr, 0x80000000u) != 0) {
    std::printf("the provider does not list its devices\n");
    return kExitUnitFailed;
  }
  for (unsigned i = 0; i < count; ++i) {
    char serial[64] = {}, description[64] = {};
    void *index = reinterpret_cast<void *>(static_cast<uintptr_t>(i));
    t.bridges.listDevices(index, serial, kListByIndex | kBySerial);
    t.bridges.listDevices(index, description, kListByIndex | kByDescription);
    serial[sizeof serial - 1] = description[sizeof description - 1] = 0;
    std::printf("device %u  serial %-16s %s%s\n", i, serial, description,
                t.vu.local ? "  [virtual unit]" : "");
  }
  std::printf("%u device%s (the provider does not say which are units)\n",
              count, count == 1 ? "" : "s");
  return count > 0 ? kExitOk : kExitUnitFailed;
}

bool SelectDevice(Tool &t) {
  if (t.options.device.empty()) return true;
  if (t.bridges.select == nullptr) {
    std::fprintf(stderr,
                 "tavo: --device needs a provider that can choose a unit "
                 "(libtavoftdi.so or libtavotty.so)\n");
    return false;
  }
  t.bridges.select(t.options.device.c_str());
  return true;
}

void ExplainNoUnit(const Tool &t) {
  if (t.bridges.list == nullptr) return;
  for (const tavo_bridge &r : ListBridges(t.bridges)) {
    if (r.unit && r.problem[0] != 0) {
      std::printf("  %-12s %04X:%04X serial %s at %s: %s\n", "unit", r.id >> 16,
                  r.id & 0xFFFF, r.serial[0] ? r.serial : "?", r.location,
                  r.problem);
    }
  }
}

}  // namespace tavo
