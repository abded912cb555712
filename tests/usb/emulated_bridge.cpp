#include "emulated_bridge.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>

#include "d2xx.h"
#include "d2xx_provider.h"
#include "tavoload.h"

namespace usbtest {
namespace {

// The chip's vendor requests.
constexpr uint8_t kReset = 0x00, kModemCtrl = 0x01, kSetFlow = 0x02,
                  kSetBaud = 0x03, kSetData = 0x04, kPollModem = 0x05,
                  kSetEventChar = 0x06, kSetErrorChar = 0x07,
                  kSetLatency = 0x09, kGetLatency = 0x0A, kSetBitmode = 0x0B;
constexpr uint8_t kStatus0 = 0x01, kStatus1 = 0x60;  // idle modem and line
constexpr int kPacket = 64;  // full-speed bulk packet: 2 status + 62 data
constexpr int kPacketData = kPacket - 2;

struct Timed {
  uint8_t byte;
  uint64_t at_us;  // when it has crossed the serial line
};

struct Urb {
  UMockdevIoctlData *data = nullptr;  // struct usbdevfs_urb
  UMockdevIoctlData *buffer = nullptr;
  uint64_t submitted_us = 0;
  uint8_t endpoint = 0;
  uint8_t type = 0;
};

}  // namespace

struct Chip {
  Bridges::Impl *impl = nullptr;
  BridgeConfig config;
  int devnum = 0;
  std::string syspath;
  std::string devnode;
  UMockdevIoctlBase *handler = nullptr;
  bool unplugged = false;
  ChipState state;
  std::vector<Control> controls;
  std::deque<Urb> pending;  // IN transfers waiting for the chip
  std::deque<Urb> done;     // completed, waiting to be reaped
  std::deque<Timed> tx;     // host to unit, on the wire
  std::deque<Timed> rx;     // unit to host
  uint64_t tx_free_us = 0;  // when the chip's transmitter is idle again
  uint64_t rx_free_us = 0;  // when the unit's transmitter is idle again
  uint64_t last_in_us = 0;  // when the chip last sent an IN packet
  FT_HANDLE unit = nullptr;
};

struct Bridges::Impl {
  std::mutex mutex;
  void *vu_module = nullptr;
  VuApi vu{};
  D2xxProvider d2xx{};
  UMockdevTestbed *testbed = nullptr;
  std::vector<std::unique_ptr<Chip>> chips;
  std::chrono::steady_clock::time_point origin =
      std::chrono::steady_clock::now();
  int next_devnum = 2;

  uint64_t Now() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - origin)
            .count());
  }
  void Plug(Chip &chip);
};

namespace {

double ByteUs(const Chip &c) {
  // The chip powers up at 9600 baud; a byte is 10 bits (8N1).
  double baud = c.state.baud > 0 ? c.state.baud : 9600.0;
  return 10.0 * 1e6 / baud;
}

// The baud rate a divisor gives on an FT232R/BM-class chip: 3 MHz over
// a 14-bit integer part plus eighths coded in three bits (two in the
// value, one in the index).
double DecodeBaud(uint16_t value, uint16_t index) {
  static const int kEighths[8] = {0, 4, 2, 1, 3, 5, 6, 7};
  int whole = value & 0x3FFF;
  int code = ((value >> 14) & 3) | ((index & 1) << 2);
  if (whole == 0 && code == 0) return 3000000.0;
  if (whole == 1 && code == 0) return 2000000.0;
  return 3000000.0 / (whole + kEighths[code] / 8.0);
}

// Moves the serial line on to `now`: host bytes that have crossed it reach
// the unit, and the unit's replies start on their way back.
void Advance(Chip &c, uint64_t now) {
  const D2xxProvider &vu = c.impl->d2xx;
  while (!c.tx.empty() && c.tx.front().at_us <= now) {
    Timed t = c.tx.front();
    c.tx.pop_front();
    if (c.unit == nullptr) continue;
    DWORD n = 0;
    vu.write(c.unit, &t.byte, 1, &n);
    uint8_t reply[512];
    if (vu.read(c.unit, reply, sizeof reply, &n) != FT_OK) n = 0;
    for (DWORD i = 0; i < n; ++i) {
      uint64_t start = std::max(t.at_us, c.rx_free_us);
      uint64_t at = start + static_cast<uint64_t>(std::llround(ByteUs(c)));
      c.rx.push_back({reply[i], at});
      c.rx_free_us = at;
    }
  }
}

size_t Arrived(const Chip &c, uint64_t now) {
  size_t n = 0;
  while (n < c.rx.size() && c.rx[n].at_us <= now) ++n;
  return n;
}

// Completes the oldest IN transfer when the chip would send: it holds a
// full packet's worth, or its latency timer has run out since it last sent.
void ServeIn(Chip &c, uint64_t now) {
  if (c.pending.empty()) return;
  size_t arrived = Arrived(c, now);
  uint64_t due =
      c.last_in_us + static_cast<uint64_t>(c.state.latency_ms) * 1000;
  if (arrived < static_cast<size_t>(kPacketData) && now < due) return;
  Urb urb = c.pending.front();
  c.pending.pop_front();
  auto *u = reinterpret_cast<usbdevfs_urb *>(urb.data->data);
  int room = u->buffer_length;
  uint8_t *out = urb.buffer->data;
  int length = 0;
  size_t sent = 0;
  do {
    if (room - length < 2) break;
    out[length++] = kStatus0;
    out[length++] = kStatus1;
    int chunk = 0;
    while (chunk < kPacketData && sent < arrived && length < room) {
      out[length++] = c.rx.front().byte;
      c.rx.pop_front();
      ++sent;
      ++chunk;
    }
    if (chunk < kPacketData) break;  // a short packet ends the transfer
  } while (sent < arrived);
  c.state.unit_bytes += sent;
  u->actual_length = length;
  u->status = 0;
  c.last_in_us = now;
  c.done.push_back(urb);
}

void Record(Chip &c, uint8_t request, uint16_t value, uint16_t index) {
  c.controls.push_back({request, value, index});
}

std::vector<uint8_t> StringDescriptor(const std::string &text) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char ch : text) {
    d.push_back(static_cast<uint8_t>(ch));
    d.push_back(0);
  }
  return d;
}

std::vector<uint8_t> Descriptors(const BridgeConfig &b) {
  auto lo = [](int v) { return static_cast<uint8_t>(v & 0xFF); };
  auto hi = [](int v) { return static_cast<uint8_t>((v >> 8) & 0xFF); };
  return {// device: USB 2.0, max packet 8, the ids, bcdDevice 6.00 (FT232R),
          // strings 1-3, one configuration
          18, 1, 0x00, 0x02, 0, 0, 0, 8, lo(b.vendor), hi(b.vendor),
          lo(b.product), hi(b.product), 0x00, 0x06, 1, 2, 3, 1,
          // configuration: 32 bytes in all, one interface, bus powered 90 mA
          9, 2, 32, 0, 1, 1, 0, 0x80, 45,
          // interface 0: two endpoints, vendor class
          9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2,
          // bulk IN 0x81 and bulk OUT 0x02, 64 bytes
          7, 5, 0x81, 2, 64, 0, 0, 7, 5, 0x02, 2, 64, 0, 0};
}

// A control transfer; returns the bytes of an IN answer, or false to stall.
bool AnswerControl(Chip &c, const uint8_t *setup,
                   std::vector<uint8_t> *answer) {
  uint8_t type = setup[0], request = setup[1];
  uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
  uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
  const D2xxProvider &vu = c.impl->d2xx;
  if (type == 0x80 && request == 6) {  // GET_DESCRIPTOR
    uint8_t kind = static_cast<uint8_t>(value >> 8);
    uint8_t which = static_cast<uint8_t>(value & 0xFF);
    std::vector<uint8_t> all = Descriptors(c.config);
    if (kind == 1) {
      answer->assign(all.begin(), all.begin() + 18);
    } else if (kind == 2) {
      answer->assign(all.begin() + 18, all.end());
    } else if (kind == 3 && which == 0) {
      *answer = {4, 3, 0x09, 0x04};  // English (US)
    } else if (kind == 3 && which <= 3) {
      const char *texts[] = {"", "TAVO", c.config.product_name.c_str(),
                             c.config.serial.c_str()};
      *answer = StringDescriptor(texts[which]);
    } else {
      return false;
    }
    return true;
  }
  if (type == 0x40) {
    Record(c, request, value, index);
    switch (request) {
      case kReset:
        if (value == 0 || value == 1) c.tx.clear();  // purge to the unit
        if (value == 0 || value == 2) {
          c.rx.erase(c.rx.begin(), c.rx.begin() + static_cast<long>(Arrived(
                                                      c, c.impl->Now())));
        }
        return value <= 2;
      case kSetBaud:
        c.state.baud = DecodeBaud(value, index);
        if (c.unit != nullptr) {
          vu.setBaudRate(c.unit, static_cast<ULONG>(std::lround(c.state.baud)));
        }
        return true;
      case kSetData: {
        c.state.data = value;
        int stop = (value >> 11) & 3;  // 0: one, 1: one and a half, 2: two
        if (c.unit != nullptr) {
          vu.setDataCharacteristics(
              c.unit, static_cast<UCHAR>(value & 0xFF),
              static_cast<UCHAR>(stop == 0 ? 0 : stop + 1),
              static_cast<UCHAR>((value >> 8) & 7));
        }
        return true;
      }
      case kSetFlow:
        c.state.flow = static_cast<uint16_t>(index >> 8);
        if (c.unit != nullptr) {
          vu.setFlowControl(c.unit, static_cast<USHORT>(c.state.flow << 8), 0,
                            0);
        }
        return true;
      case kSetLatency:
        if ((value & 0xFF) < c.config.min_latency_ms) return false;
        c.state.latency_ms = value & 0xFF;
        return true;
      case kModemCtrl:
      case kSetEventChar:
      case kSetErrorChar:
      case kSetBitmode:
        return true;
      default:
        return false;
    }
  }
  if (type == 0xC0) {
    Record(c, request, value, index);
    if (request == kPollModem) {
      *answer = {kStatus0, kStatus1};
      return true;
    }
    if (request == kGetLatency) {
      *answer = {static_cast<uint8_t>(c.state.latency_ms)};
      return true;
    }
  }
  return false;
}

void Submit(Chip &c, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  UMockdevIoctlData *data =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  auto *u = reinterpret_cast<usbdevfs_urb *>(data->data);
  UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
      data, offsetof(usbdevfs_urb, buffer),
      static_cast<gsize>(u->buffer_length), nullptr);
  uint64_t now = c.impl->Now();
  Urb urb{data, buffer, now, u->endpoint, u->type};
  if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->buffer_length >= 8) {
    std::vector<uint8_t> answer;
    bool ok = AnswerControl(c, buffer->data, &answer);
    int wanted = buffer->data[6] | buffer->data[7] << 8;
    int n = std::min<int>(static_cast<int>(answer.size()), wanted);
    if (n > 0) {
      std::memcpy(buffer->data + 8, answer.data(), static_cast<size_t>(n));
    }
    u->actual_length = ok ? n : 0;
    u->status = ok ? 0 : -EPIPE;
    c.done.push_back(urb);
  } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == 0x02) {
    Advance(c, now);
    double byte_us = ByteUs(c);
    for (int i = 0; i < u->buffer_length; ++i) {
      uint64_t start = std::max(now, c.tx_free_us);
      uint64_t at = start + static_cast<uint64_t>(std::llround(byte_us));
      c.tx.push_back({buffer->data[i], at});
      c.tx_free_us = at;
    }
    c.state.host_bytes += static_cast<uint64_t>(u->buffer_length);
    u->actual_length = u->buffer_length;
    u->status = 0;
    c.done.push_back(urb);
  } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == 0x81) {
    c.pending.push_back(urb);
  } else {
    g_object_unref(buffer);
    g_object_unref(data);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void Reap(Chip &c, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  uint64_t now = c.impl->Now();
  Advance(c, now);
  ServeIn(c, now);
  if (c.done.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  Urb urb = c.done.front();
  c.done.pop_front();
  UMockdevIoctlData *slot =
      umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
  umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(slot);
  g_object_unref(urb.buffer);
  g_object_unref(urb.data);
}

void Discard(Chip &c, UMockdevIoctlClient *client, UMockdevIoctlData *arg) {
  gulong address = *reinterpret_cast<gulong *>(arg->data);
  for (auto it = c.pending.begin(); it != c.pending.end(); ++it) {
    if (it->data->client_addr == address) {
      auto *u = reinterpret_cast<usbdevfs_urb *>(it->data->data);
      u->status = -ENOENT;
      u->actual_length = 0;
      c.done.push_back(*it);
      c.pending.erase(it);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client,
                 gpointer context) {
  Chip &c = *static_cast<Chip *>(context);
  std::lock_guard<std::mutex> guard(c.impl->mutex);
  ++c.state.ioctls;
  if (c.unplugged) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData *d =
          umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
      *reinterpret_cast<uint32_t *>(d->data) =
          USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
          USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
      umockdev_ioctl_client_complete(client, c.config.busy ? -1 : 0,
                                     c.config.busy ? EBUSY : 0);
      return TRUE;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
      umockdev_ioctl_client_complete(client, 0, 0);
      return TRUE;
    case USBDEVFS_GETDRIVER: {
      if (!c.state.kernel_driver) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
      }
      UMockdevIoctlData *d = umockdev_ioctl_data_resolve(
          arg, 0, sizeof(usbdevfs_getdriver), nullptr);
      auto *g = reinterpret_cast<usbdevfs_getdriver *>(d->data);
      std::snprintf(g->driver, sizeof g->driver, "ftdi_sio");
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(d);
      return TRUE;
    }
    case USBDEVFS_IOCTL: {
      UMockdevIoctlData *d =
          umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
      int code = reinterpret_cast<usbdevfs_ioctl *>(d->data)->ioctl_code;
      g_object_unref(d);
      if (code == static_cast<int>(USBDEVFS_DISCONNECT) &&
          c.state.kernel_driver) {
        c.state.kernel_driver = false;
        umockdev_ioctl_client_complete(client, 0, 0);
      } else {
        umockdev_ioctl_client_complete(client, -1, ENODATA);
      }
      return TRUE;
    }
    case USBDEVFS_SUBMITURB:
      Submit(c, client, arg);
      return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(c, client, arg);
      return TRUE;
    case USBDEVFS_DISCARDURB:
      Discard(c, client, arg);
      return TRUE;
    default:
      std::fprintf(stderr, "emulated bridge: unhandled usbfs ioctl 0x%lx\n",
                   static_cast<unsigned long>(request));
      return FALSE;
  }
}

}  // namespace

void Bridges::Impl::Plug(Chip &chip) {
  const BridgeConfig &b = chip.config;
  chip.devnum = next_devnum++;
  char node[64], name[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", b.bus,
                chip.devnum);
  std::snprintf(name, sizeof name, "%d-%d", b.bus, b.port);
  chip.devnode = node;
  chip.unplugged = false;
  chip.state = ChipState{};
  chip.state.kernel_driver = b.kernel_driver;
  chip.pending.clear();
  chip.done.clear();
  chip.tx.clear();
  chip.rx.clear();
  chip.last_in_us = chip.tx_free_us = chip.rx_free_us = Now();
  // The device as umockdev-record writes one: path, node, properties,
  // attributes (H: in hexadecimal). The node's major is usb_device's, 189.
  std::string hex;
  for (uint8_t byte : Descriptors(b)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", byte);
    hex += two;
  }
  char text[2048];
  std::snprintf(text, sizeof text,
                "P: /devices/%s\nN: %s\nE: DEVNAME=%s\nE: DEVTYPE=usb_device\n"
                "E: SUBSYSTEM=usb\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n"
                "E: PRODUCT=%x/%x/600\n"
                "A: dev=189:%d\nA: idVendor=%04x\nA: idProduct=%04x\n"
                "A: busnum=%d\nA: devnum=%d\nA: speed=12\n"
                "A: bConfigurationValue=1\nA: bNumConfigurations=1\n"
                "A: manufacturer=TAVO\nA: product=%s\nA: serial=%s\n"
                "H: descriptors=%s\n",
                name, node + 5, node, b.bus, chip.devnum, b.vendor, b.product,
                (b.bus - 1) * 128 + chip.devnum - 1, b.vendor, b.product, b.bus,
                chip.devnum, b.product_name.c_str(), b.serial.c_str(),
                hex.c_str());
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed, text, &error)) {
    std::string message = error != nullptr ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("cannot add the USB device: " + message);
  }
  chip.syspath = std::string("/sys/devices/") + name;
  // The ioctl handler goes on the node before anything can open it.
  chip.handler = umockdev_ioctl_base_new();
  g_signal_connect(chip.handler, "handle-ioctl", G_CALLBACK(OnIoctl), &chip);
  if (!umockdev_testbed_attach_ioctl(testbed, node, chip.handler, &error)) {
    std::string message = error != nullptr ? error->message : "?";
    g_clear_error(&error);
    throw std::runtime_error("cannot attach the ioctl handler: " + message);
  }
  chip.unit = nullptr;
  if (b.unit >= 0) {
    if (d2xx.open(b.unit, &chip.unit) != FT_OK) {
      throw std::runtime_error("cannot open the virtual unit's device");
    }
  }
}

Bridges::Bridges(const std::string &vu_path) : impl_(new Impl) {
  if (!PreloadActive()) {
    throw std::runtime_error(
        "libumockdev-preload is not loaded: run under umockdev-wrapper");
  }
  impl_->vu_module = tavoload::Open(vu_path, tavoload::Scope::kPrivate);
  if (impl_->vu_module == nullptr) {
    throw std::runtime_error(std::string("cannot load ") + vu_path + ": " +
                             tavoload::LastError());
  }
  VuApi &v = impl_->vu;
  const char *missing = tavoload::Bind(
      impl_->vu_module, {{"vu_reset", &v.reset},
                         {"vu_clear_devices", &v.clear_devices},
                         {"vu_default_config", &v.default_config},
                         {"vu_add_device", &v.add_device},
                         {"vu_insert_coin", &v.insert_coin},
                         {"vu_insert_note", &v.insert_note},
                         {"vu_get_state", &v.get_state},
                         {"vu_check_money", &v.check_money},
                         {"vu_set_coin_stock", &v.set_coin_stock}});
  if (missing == nullptr) missing = BindD2xx(impl_->vu_module, &impl_->d2xx);
  if (missing != nullptr) {
    throw std::runtime_error(std::string("virtual unit lacks ") + missing);
  }
  v.reset();
  v.clear_devices();
  impl_->testbed = umockdev_testbed_new();
}

Bridges::~Bridges() {
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    for (auto &chip : impl_->chips) {
      if (chip->unit != nullptr) impl_->d2xx.close(chip->unit);
      chip->unit = nullptr;
      chip->unplugged = true;
    }
  }
  if (impl_->testbed != nullptr) g_object_unref(impl_->testbed);
  for (auto &chip : impl_->chips) {
    for (Urb &u : chip->pending) {
      g_object_unref(u.buffer);
      g_object_unref(u.data);
    }
    for (Urb &u : chip->done) {
      g_object_unref(u.buffer);
      g_object_unref(u.data);
    }
    if (chip->handler != nullptr) g_object_unref(chip->handler);
  }
  // The virtual unit stays loaded: its lock may still be referenced by
  // threads that umockdev ends on its own schedule.
}

const Bridges::VuApi &Bridges::Vu() const { return impl_->vu; }

int Bridges::Add(const BridgeConfig &config) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  auto chip = std::make_unique<Chip>();
  chip->impl = impl_.get();
  chip->config = config;
  impl_->Plug(*chip);
  impl_->chips.push_back(std::move(chip));
  return static_cast<int>(impl_->chips.size()) - 1;
}

void Bridges::Unplug(int bridge) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  Chip &c = *impl_->chips.at(static_cast<size_t>(bridge));
  c.unplugged = true;
  if (c.unit != nullptr) impl_->d2xx.close(c.unit);
  c.unit = nullptr;
  umockdev_testbed_remove_device(impl_->testbed, c.syspath.c_str());
}

void Bridges::Replug(int bridge) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  Chip &c = *impl_->chips.at(static_cast<size_t>(bridge));
  // The old handler keeps answering ENODEV to nodes still open.
  auto old = std::make_unique<Chip>();
  old->impl = impl_.get();
  old->unplugged = true;
  old->handler = c.handler;
  old->pending.swap(c.pending);
  old->done.swap(c.done);
  g_signal_handlers_disconnect_by_data(old->handler, &c);
  g_signal_connect(old->handler, "handle-ioctl", G_CALLBACK(OnIoctl),
                   old.get());
  impl_->Plug(c);
  impl_->chips.push_back(std::move(old));
}

ChipState Bridges::State(int bridge) const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->chips.at(static_cast<size_t>(bridge))->state;
}

std::vector<Control> Bridges::Controls(int bridge) const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->chips.at(static_cast<size_t>(bridge))->controls;
}

void Bridges::ClearControls(int bridge) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->chips.at(static_cast<size_t>(bridge))->controls.clear();
}

void RunUnderPreload(char **argv) {
  if (PreloadActive() || std::getenv("TAVO_UMOCKDEV_REEXEC") != nullptr) {
    return;
  }
  std::string preload = UMOCKDEV_PRELOAD_PATH;
  if (const char *old = std::getenv("LD_PRELOAD"))
    preload += ":" + std::string(old);
  // Under AddressSanitizer the preload comes before its runtime, which it
  // refuses unless told that the order is intended.
  std::string asan = "verify_asan_link_order=0";
  if (const char *old = std::getenv("ASAN_OPTIONS"))
    asan = std::string(old) + ":" + asan;
  setenv("LD_PRELOAD", preload.c_str(), 1);
  setenv("ASAN_OPTIONS", asan.c_str(), 1);
  setenv("TAVO_UMOCKDEV_REEXEC", "1", 1);
  execv("/proc/self/exe", argv);
  std::perror("cannot run again under libumockdev-preload");
}

bool PreloadActive() {
  const char *preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "umockdev") != nullptr;
}

}  // namespace usbtest
