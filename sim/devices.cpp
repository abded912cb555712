#include "devices.h"

#include <algorithm>
#include <thread>

namespace vu {
namespace {
constexpr double kDefaultByteUs = 10.0 * 1e6 / 38400.0;  // 8N1: 10 bits
}  // namespace

void Registry::AddDefault() {
  vu_device_config config;
  vu_default_config(&config);
  auto device = std::make_unique<Device>();
  InitDevice(*device, config);
  devices.push_back(std::move(device));
}

Registry &G() {
  static Registry global;
  return global;
}

bool Timed() { return G().timing.enabled != 0; }

double ByteUs() {
  return G().timing.byte_us > 0 ? G().timing.byte_us : kDefaultByteUs;
}

uint64_t Now() {
  Registry &g = G();
  if (!g.timing.enabled) return 0;
  if (g.timing.real_clock) {
    auto elapsed = std::chrono::steady_clock::now() - g.origin;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
  }
  return g.virtualUs;
}

void WaitUntil(Lock &lock, uint64_t target) {
  Registry &g = G();
  if (!g.timing.enabled) return;
  if (!g.timing.real_clock) {
    g.virtualUs = std::max(g.virtualUs, target);
    return;
  }
  uint64_t now = Now();
  if (target <= now) return;
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::microseconds(target - now));
  lock.lock();
}

Device *DeviceAt(int index) {
  Registry &g = G();
  if (index < 0 || index >= static_cast<int>(g.devices.size())) return nullptr;
  return g.devices[static_cast<size_t>(index)].get();
}

Device *FromHandle(FT_HANDLE handle) {
  uint32_t id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  if (id == 0) return nullptr;
  for (auto &d : G().devices) {
    if (d->open && d->handleId == id) return d.get();
  }
  return nullptr;
}

int IndexOf(const Device *device) {
  auto &devices = G().devices;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].get() == device) return static_cast<int>(i);
  }
  return -1;
}

void Trace(const Device *d, int direction, uint8_t command,
           const uint8_t *bytes, size_t length) {
  Registry &g = G();
  if (!g.trace) return;
  vu_trace_event event{
      IndexOf(d), direction, command, bytes, static_cast<uint32_t>(length),
      Now()};
  g.trace(g.traceContext, &event);
}
}  // namespace vu
