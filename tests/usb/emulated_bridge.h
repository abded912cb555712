// An emulated USB-serial bridge (an FT232R-class chip) on umockdev, with the
// virtual unit's protocol model on its serial side.
//
// umockdev puts a made-up sysfs and /dev in front of the process: each
// bridge is a USB device node whose usbfs ioctls (the ones libusb sends)
// land in this code. It answers the chip's vendor control requests (reset,
// purge, baud rate, data bits, flow control, latency timer, modem status),
// the standard string-descriptor requests, and carries the bulk data with
// the chip's framing: every IN packet starts with two modem-status bytes,
// and the chip sends what it has received once it holds 62 bytes or its
// latency timer runs out (an IN transfer with nothing to send completes
// after the timer with the two status bytes alone).
//
// The serial side runs at the baud rate the host programmed, 10 bits a
// byte: each byte the host sends reaches the unit one byte time after the
// one before, and each reply byte the unit sends takes one byte time to
// arrive. The unit is a device of the virtual unit (libtavovu.so, opened
// privately so that its FT_* functions do not clash with the provider's),
// set to the line settings the chip was given: a wrong divisor or frame
// format leaves it silent, as a real unit would be.
//
// Needs libumockdev-preload in the process from its start: a test's main
// calls RunUnderPreload, which starts the program again with it.
#ifndef TAVOCTL_TESTS_USB_EMULATED_BRIDGE_H
#define TAVOCTL_TESTS_USB_EMULATED_BRIDGE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tavovu.h"

namespace usbtest {

struct BridgeConfig {
  uint16_t vendor = 0x16C9;
  uint16_t product = 0x1003;
  std::string serial = "TV00000001";
  std::string product_name = "TAVO payment unit";
  int bus = 1;
  int port = 1;            // the hub port: the device is "BUS-PORT"
  int unit = 0;            // the virtual unit's device index; -1: nothing wired
  int min_latency_ms = 1;  // the lowest latency timer the chip takes
  bool kernel_driver = false;  // ftdi_sio bound until the host detaches it
  bool busy = false;           // claimed by another process
};

// One vendor control request as the chip received it.
struct Control {
  uint8_t request;
  uint16_t value;
  uint16_t index;
};

// What the chip was set to.
struct ChipState {
  double baud = 0;    // decoded from the divisor; 0 before it was set
  uint16_t data = 0;  // SIO_SET_DATA value: bits | parity << 8 | stop << 11
  uint16_t flow = 0;  // high byte of the flow-control index
  int latency_ms = 16;
  bool kernel_driver = false;
  int ioctls = 0;           // usbfs ioctls received, of any kind
  uint64_t host_bytes = 0;  // data bytes carried each way
  uint64_t unit_bytes = 0;
};

class Bridges {
 public:
  // Loads the virtual unit from `vu_path` and starts a testbed; the unit
  // is reset to have no devices (add them with Vu()->add_device).
  explicit Bridges(const std::string &vu_path);
  ~Bridges();
  Bridges(const Bridges &) = delete;
  Bridges &operator=(const Bridges &) = delete;

  // The virtual unit's own API.
  struct VuApi {
    decltype(&vu_reset) reset;
    decltype(&vu_clear_devices) clear_devices;
    decltype(&vu_default_config) default_config;
    decltype(&vu_add_device) add_device;
    decltype(&vu_insert_coin) insert_coin;
    decltype(&vu_insert_note) insert_note;
    decltype(&vu_get_state) get_state;
    decltype(&vu_check_money) check_money;
    decltype(&vu_set_coin_stock) set_coin_stock;
  };
  const VuApi &Vu() const;

  // Plugs in a bridge; returns its number (0 first).
  int Add(const BridgeConfig &config);
  // Pulls it out: the device vanishes from sysfs and every ioctl on a node
  // still open fails with ENODEV, as the kernel does.
  void Unplug(int bridge);
  // Plugs it in again, at a new device address, with a fresh chip.
  void Replug(int bridge);

  ChipState State(int bridge) const;
  std::vector<Control> Controls(int bridge) const;
  void ClearControls(int bridge);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// True when the umockdev preload library is in the process.
bool PreloadActive();

// Starts the program again with libumockdev-preload loaded when it is not
// (call first in main); returns only when it is loaded, or when starting
// again failed.
void RunUnderPreload(char **argv);

}  // namespace usbtest

#endif  // TAVOCTL_TESTS_USB_EMULATED_BRIDGE_H
