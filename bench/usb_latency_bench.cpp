// A whole sale over real-USB timing: the library, libtavoftdi.so, libftdi
// and libusb against an emulated bridge (umockdev) that holds the unit's
// replies as the chip does, until it has 62 bytes or its latency timer runs
// out. BM_UsbSale/16 leaves the chip at its factory 16 ms (the chip takes no
// less), BM_UsbSale/1 lets the provider set 1 ms.
//
// BM_UsbControlTransfer gives the emulation's own cost of one USB
// transfer, which a real host controller does not add.
//
// The time counted is the time the library spends in the driver's calls
// (purge, write, read): this program defines the FT_* functions itself,
// so the library binds to them, and passes each call on to the provider.
// The library's own pauses between polls are not link time. Counters:
//   link_ms  time in the driver's calls per sale
//   wire_ms  time of the sale's bytes alone on the serial line (10 bits a
//            byte at 38400 baud), the physical limit
//   ratio    link_ms / wire_ms
//   purge_ms, write_ms, read_ms: link_ms by kind of call (a purge is two
//            control transfers, a write one bulk transfer; the reads wait
//            for the bytes and for the chip's timer)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "d2xx.h"
#include "d2xx_provider.h"
#include "emulated_bridge.h"
#include "tavoctl.h"
#include "usb_sale.h"

namespace {

const D2xxProvider &P() {
  static D2xxProvider p = LoadD2xxProvider(TAVOFTDI_SO);
  return p;
}

struct LinkMeter {
  double purge = 0, write = 0, read = 0;  // seconds in each kind of call
  uint64_t exchanges = 0;                 // purges: one per exchange
  uint64_t bytes = 0;                     // written and read
};
LinkMeter Meter;

template <typename Call>
FT_STATUS Timed(double *seconds, Call call) {
  auto start = std::chrono::steady_clock::now();
  FT_STATUS s = call();
  *seconds +=
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  return s;
}

}  // namespace

// The driver's functions as the library sees them: the provider's, with the
// exchanges timed and their bytes counted. Exported, so that the library's
// FT_* bind to these.
#pragma GCC visibility push(default)
extern "C" {
FT_STATUS FT_ListDevices(void *a, void *b, DWORD f) {
  return P().listDevices(a, b, f);
}
FT_STATUS FT_Open(int n, FT_HANDLE *h) { return P().open(n, h); }
FT_STATUS FT_Close(FT_HANDLE h) { return P().close(h); }
FT_STATUS FT_ResetDevice(FT_HANDLE h) { return P().resetDevice(h); }
FT_STATUS FT_GetDeviceInfo(FT_HANDLE h, FT_DEVICE *t, DWORD *id, char *s,
                           char *d, void *x) {
  return P().getDeviceInfo(h, t, id, s, d, x);
}
FT_STATUS FT_SetBaudRate(FT_HANDLE h, ULONG b) { return P().setBaudRate(h, b); }
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE h, UCHAR w, UCHAR s, UCHAR p) {
  return P().setDataCharacteristics(h, w, s, p);
}
FT_STATUS FT_SetFlowControl(FT_HANDLE h, USHORT f, UCHAR on, UCHAR off) {
  return P().setFlowControl(h, f, on, off);
}
FT_STATUS FT_SetChars(FT_HANDLE h, UCHAR e, UCHAR ee, UCHAR r, UCHAR re) {
  return P().setChars(h, e, ee, r, re);
}
FT_STATUS FT_SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) {
  return P().setTimeouts(h, r, w);
}
FT_STATUS FT_Purge(FT_HANDLE h, ULONG m) {
  ++Meter.exchanges;
  return Timed(&Meter.purge, [&] { return P().purge(h, m); });
}
FT_STATUS FT_Write(FT_HANDLE h, void *b, DWORD n, DWORD *done) {
  DWORD written = 0;
  FT_STATUS s =
      Timed(&Meter.write, [&] { return P().write(h, b, n, &written); });
  Meter.bytes += written;
  if (done != nullptr) *done = written;
  return s;
}
FT_STATUS FT_Read(FT_HANDLE h, void *b, DWORD n, DWORD *done) {
  DWORD got = 0;
  FT_STATUS s = Timed(&Meter.read, [&] { return P().read(h, b, n, &got); });
  Meter.bytes += got;
  if (done != nullptr) *done = got;
  return s;
}
}
#pragma GCC visibility pop

namespace {

void BM_UsbSale(benchmark::State &state) {
  usbtest::Bridges bridges(TAVOVU_SO);
  vu_device_config config;
  bridges.Vu().default_config(&config);
  bridges.Vu().add_device(&config);
  usbtest::BridgeConfig chip;
  chip.unit = 0;
  chip.min_latency_ms = static_cast<int>(state.range(0));
  bridges.Add(chip);
  uint32_t handle = 0;
  if (TAVO_Open(&handle) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  Meter = LinkMeter{};
  int sales = 0;
  for (auto _ : state) {
    std::string failed = usbtest::WholeSale(bridges, 0, handle);
    if (!failed.empty()) {
      state.SkipWithError(failed.c_str());
      break;
    }
    ++sales;
    int coins[4] = {50, 50, 50, 50};
    bridges.Vu().set_coin_stock(0, coins);
  }
  TAVO_Close(handle);
  if (sales > 0) {
    double wire = static_cast<double>(Meter.bytes) * 10.0 / 38400.0;
    double link = Meter.purge + Meter.write + Meter.read;
    auto perSale = [&](double seconds) { return seconds * 1000.0 / sales; };
    state.counters["latency_timer_ms"] = bridges.State(0).latency_ms;
    state.counters["exchanges"] = static_cast<double>(Meter.exchanges) / sales;
    state.counters["link_ms"] = perSale(link);
    state.counters["wire_ms"] = perSale(wire);
    state.counters["ratio"] = link / wire;
    state.counters["purge_ms"] = perSale(Meter.purge);
    state.counters["write_ms"] = perSale(Meter.write);
    state.counters["read_ms"] = perSale(Meter.read);
  }
}
// The emulation's own cost: one control transfer (a baud-rate request)
// through libusb, usbfs as umockdev emulates it and the emulated chip. A
// real full-speed host controller takes about a millisecond frame for it;
// each exchange of the sale makes two (the purge) besides its bulk
// transfers.
void BM_UsbControlTransfer(benchmark::State &state) {
  usbtest::Bridges bridges(TAVOVU_SO);
  usbtest::BridgeConfig chip;
  chip.unit = -1;
  bridges.Add(chip);
  FT_HANDLE h = nullptr;
  if (P().open(0, &h) != FT_OK) {
    state.SkipWithError("open failed");
    return;
  }
  for (auto _ : state) P().setBaudRate(h, 38400);
  P().close(h);
}
BENCHMARK(BM_UsbControlTransfer)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_UsbSale)
    ->Arg(16)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  usbtest::RunUnderPreload(argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
