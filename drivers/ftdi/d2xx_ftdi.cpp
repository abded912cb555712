// The FT_* functions over libftdi1: the unit's bridge driven from user
// space through usbfs.
#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "d2xx.h"
#include "tavoftdi.h"

#define FT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr FT_DEVICE kTypeR = 5;  // the vendor's code for FT232R
constexpr DWORD kListByIndex = 0x40000000u;
constexpr DWORD kBySerial = 1u;
constexpr DWORD kByDescription = 2u;
// How long one USB transfer may take before the bridge counts as gone. A
// working chip answers every IN transfer within its latency timer.
constexpr int kUsbTimeoutMs = 1000;

using Clock = std::chrono::steady_clock;

// A bridge found on the bus, in the order FT_Open numbers them.
struct Found {
  libusb_device *dev = nullptr;
  uint32_t id = 0;
  uint8_t bus = 0;
  std::vector<uint8_t> ports;
  std::string serial;
  std::string description;
};

struct Port {
  bool used = false;
  ftdi_context *ftdi = nullptr;
  uint32_t id = 0;
  std::string serial;
  std::string description;
  uint32_t readTimeoutMs = 0;  // 0: wait without end
};

std::mutex Lock;
std::array<Port, 16> Ports;
std::vector<uint32_t> Ids = {0x16C91003, 0x16C91403};
std::string Selected = [] {
  const char *s = std::getenv("TAVO_DEVICE");
  return std::string(s != nullptr ? s : "");
}();

bool Wanted(uint32_t id) {
  return std::find(Ids.begin(), Ids.end(), id) != Ids.end();
}

std::string Location(const Found &f) {
  std::string s = "usb " + std::to_string(f.bus);
  for (size_t i = 0; i < f.ports.size(); ++i) {
    s += (i == 0 ? "-" : ".") + std::to_string(f.ports[i]);
  }
  return s;
}

std::string StringDescriptor(libusb_device_handle *h, uint8_t index) {
  if (index == 0) return {};
  unsigned char text[128] = {};
  int n = libusb_get_string_descriptor_ascii(h, index, text, sizeof text - 1);
  return n > 0 ? std::string(reinterpret_cast<char *>(text),
                             static_cast<size_t>(n))
               : std::string();
}

// Reads the serial number and product strings (opening the device, which
// needs no claim and does not disturb another user of it). Returns the
// libusb error of the open, 0 on success.
int ReadStrings(Found &f) {
  libusb_device_descriptor desc{};
  libusb_get_device_descriptor(f.dev, &desc);
  libusb_device_handle *h = nullptr;
  int r = libusb_open(f.dev, &h);
  if (r != 0) return r;
  f.serial = StringDescriptor(h, desc.iSerialNumber);
  f.description = StringDescriptor(h, desc.iProduct);
  libusb_close(h);
  return 0;
}

// Every USB device in `ctx` with one of `ids` (all devices when `all`), in
// the stable order: bus, then hub ports. The list holds references that
// FreeFound releases.
std::vector<Found> Enumerate(libusb_context *ctx, bool all) {
  std::vector<Found> out;
  libusb_device **list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    Found f;
    f.id = static_cast<uint32_t>(desc.idVendor) << 16 | desc.idProduct;
    if (!all && !Wanted(f.id)) continue;
    f.dev = libusb_ref_device(list[i]);
    f.bus = libusb_get_bus_number(list[i]);
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(list[i], ports, 8);
    if (depth > 0) f.ports.assign(ports, ports + depth);
    out.push_back(std::move(f));
  }
  if (list != nullptr) libusb_free_device_list(list, 1);
  std::sort(out.begin(), out.end(), [](const Found &a, const Found &b) {
    return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports);
  });
  return out;
}

void FreeFound(std::vector<Found> &found) {
  for (Found &f : found) libusb_unref_device(f.dev);
  found.clear();
}

// The units FT_Open numbers: the wanted ids, narrowed to the selected
// serial number when there is one (which needs the strings read).
std::vector<Found> Units(libusb_context *ctx) {
  std::vector<Found> found = Enumerate(ctx, false);
  if (Selected.empty()) return found;
  std::vector<Found> kept;
  for (Found &f : found) {
    if (ReadStrings(f) == 0 && f.serial == Selected) {
      kept.push_back(f);
    } else {
      libusb_unref_device(f.dev);
    }
  }
  return kept;
}

// A scratch libusb context for listing; the port's own ftdi context holds
// the device it opens.
struct Session {
  ftdi_context *ftdi = ftdi_new();
  ~Session() {
    if (ftdi != nullptr) ftdi_free(ftdi);
  }
  libusb_context *Usb() const {
    return ftdi != nullptr ? ftdi->usb_ctx : nullptr;
  }
};

Port *PortOf(FT_HANDLE handle) {
  for (Port &p : Ports) {
    if (&p == handle && p.used) return &p;
  }
  return nullptr;
}

void Release(Port &p) {
  if (p.ftdi != nullptr) {
    ftdi_usb_close(p.ftdi);  // releases the interface; the device node stays
    ftdi_free(p.ftdi);
  }
  p = Port{};
}

// Runs a libftdi call on an open port, under the one lock.
template <typename Call>
FT_STATUS OnPort(FT_HANDLE handle, Call call) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(handle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  return call(*p);
}

// libftdi's results: 0 or more for success, a negative code of its own
// for a failed USB transfer (an unplugged bridge fails every one).
FT_STATUS Result(int r) { return r >= 0 ? FT_OK : FT_IO_ERROR; }

}  // namespace

FT_EXPORT FT_STATUS FT_SetVIDPID(DWORD dwVID, DWORD dwPID) {
  std::lock_guard<std::mutex> guard(Lock);
  uint32_t id = (dwVID & 0xFFFF) << 16 | (dwPID & 0xFFFF);
  if (!Wanted(id)) Ids.push_back(id);
  return FT_OK;
}

FT_EXPORT void tavo_bridges_select(const char *serial) {
  std::lock_guard<std::mutex> guard(Lock);
  Selected = serial != nullptr ? serial : "";
}

FT_EXPORT int tavo_bridges_list(tavo_bridge *bridges, int max) {
  std::lock_guard<std::mutex> guard(Lock);
  Session s;
  if (s.Usb() == nullptr) return -1;
  std::vector<Found> units = Units(s.Usb());
  std::vector<Found> all = Enumerate(s.Usb(), true);
  // Units first, in FT_Open's order; then every other bridge of the
  // FTDI kind, listed from its descriptors only, never opened.
  std::vector<std::pair<Found *, int>> rows;
  for (size_t i = 0; i < units.size(); ++i) {
    rows.emplace_back(&units[i], static_cast<int>(i));
  }
  for (Found &f : all) {
    bool listed = std::any_of(units.begin(), units.end(),
                              [&](const Found &u) { return u.dev == f.dev; });
    if (!listed && (Wanted(f.id) || (f.id >> 16) == 0x0403)) {
      rows.emplace_back(&f, -1);
    }
  }
  int count = 0;
  for (const auto &row : rows) {
    Found *f = row.first;
    int index = row.second;
    if (count < max && bridges != nullptr) {
      tavo_bridge &b = bridges[count];
      b = tavo_bridge{};
      b.id = f->id;
      b.unit = Wanted(f->id) ? 1 : 0;
      b.index = index;
      std::snprintf(b.location, sizeof b.location, "%s", Location(*f).c_str());
      std::string problem;
      bool ours = std::any_of(Ports.begin(), Ports.end(), [&](const Port &p) {
        return p.used && p.ftdi != nullptr && p.ftdi->usb_dev != nullptr &&
               libusb_get_device(p.ftdi->usb_dev) != nullptr &&
               libusb_get_bus_number(libusb_get_device(p.ftdi->usb_dev)) ==
                   f->bus &&
               libusb_get_device_address(libusb_get_device(p.ftdi->usb_dev)) ==
                   libusb_get_device_address(f->dev);
      });
      if (b.unit && ours) {
        problem = "open in this program";
      } else if (b.unit) {
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", f->bus,
                      libusb_get_device_address(f->dev));
        libusb_device_handle *h = nullptr;
        int r = libusb_open(f->dev, &h);
        if (r == LIBUSB_ERROR_ACCESS) {
          problem = std::string("no permission on its device node ") + node +
                    ": install packaging/udev/70-tavoctl.rules, make sure "
                    "you are in group plugdev, and plug the unit in again";
        } else if (r != 0) {
          problem =
              std::string("cannot open ") + node + ": " + libusb_strerror(r);
        } else {
          libusb_device_descriptor desc{};
          libusb_get_device_descriptor(f->dev, &desc);
          f->serial = StringDescriptor(h, desc.iSerialNumber);
          f->description = StringDescriptor(h, desc.iProduct);
          if (libusb_kernel_driver_active(h, 0) == 1) {
            problem =
                "the kernel's ftdi_sio driver is bound to it (a /dev/ttyUSB "
                "port): libtavoftdi.so unbinds it when it opens the unit, so "
                "close any program that uses that tty first, or use "
                "libtavotty.so, which goes through it";
          } else if (libusb_claim_interface(h, 0) == LIBUSB_ERROR_BUSY) {
            problem = "opened by another process: close the other program";
          } else {
            libusb_release_interface(h, 0);
          }
          libusb_close(h);
        }
      }
      std::snprintf(b.serial, sizeof b.serial, "%s", f->serial.c_str());
      std::snprintf(b.description, sizeof b.description, "%s",
                    f->description.c_str());
      std::snprintf(b.problem, sizeof b.problem, "%s", problem.c_str());
    }
    ++count;
  }
  FreeFound(units);
  FreeFound(all);
  return count;
}

FT_EXPORT FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  std::lock_guard<std::mutex> guard(Lock);
  Session s;
  if (s.Usb() == nullptr) return FT_OTHER_ERROR;
  std::vector<Found> units = Units(s.Usb());
  FT_STATUS status = FT_INVALID_PARAMETER;
  if (Flags & FT_LIST_NUMBER_ONLY) {
    if (pArg1 != nullptr) {
      *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(units.size());
      status = FT_OK;
    }
  } else if ((Flags & kListByIndex) && pArg2 != nullptr &&
             (Flags & (kBySerial | kByDescription))) {
    auto index = static_cast<size_t>(reinterpret_cast<uintptr_t>(pArg1));
    if (index >= units.size()) {
      status = FT_DEVICE_NOT_FOUND;
    } else if (ReadStrings(units[index]) != 0) {
      status = FT_DEVICE_NOT_OPENED;
    } else {
      // The vendor's buffers: 16 bytes of serial number, 64 of
      // description, each ending in a 0.
      const std::string &text =
          (Flags & kBySerial) ? units[index].serial : units[index].description;
      size_t room = (Flags & kBySerial) ? 16 : 64;
      std::memset(pArg2, 0, room);
      std::memcpy(pArg2, text.data(), std::min(text.size(), room - 1));
      status = FT_OK;
    }
  }
  FreeFound(units);
  return status;
}

FT_EXPORT FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
  if (pHandle == nullptr) return FT_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(Lock);
  auto free = std::find_if(Ports.begin(), Ports.end(),
                           [](const Port &p) { return !p.used; });
  if (free == Ports.end()) return FT_INSUFFICIENT_RESOURCES;
  ftdi_context *ftdi = ftdi_new();
  if (ftdi == nullptr) return FT_INSUFFICIENT_RESOURCES;
  std::vector<Found> units = Units(ftdi->usb_ctx);
  FT_STATUS status = FT_OK;
  if (deviceNumber < 0 || deviceNumber >= static_cast<int>(units.size())) {
    status = FT_DEVICE_NOT_FOUND;
  } else {
    Found &f = units[static_cast<size_t>(deviceNumber)];
    // Detaches ftdi_sio if bound, claims interface 0, resets the chip.
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;
    if (ftdi_usb_open_dev(ftdi, f.dev) != 0) {
      status = FT_DEVICE_NOT_OPENED;
    } else {
      ftdi->usb_read_timeout = kUsbTimeoutMs;
      ftdi->usb_write_timeout = kUsbTimeoutMs;
      libusb_device_descriptor desc{};
      libusb_get_device_descriptor(f.dev, &desc);
      // The lowest latency the chip takes: 1 ms on every current chip.
      for (unsigned char ms = 1; ms <= 16; ++ms) {
        if (ftdi_set_latency_timer(ftdi, ms) == 0) break;
      }
      Port &p = *free;
      p = Port{};
      p.used = true;
      p.ftdi = ftdi;
      p.id = f.id;
      p.serial = StringDescriptor(ftdi->usb_dev, desc.iSerialNumber);
      p.description = StringDescriptor(ftdi->usb_dev, desc.iProduct);
      *pHandle = &p;
      ftdi = nullptr;
    }
  }
  FreeFound(units);
  if (ftdi != nullptr) ftdi_free(ftdi);
  return status;
}

FT_EXPORT FT_STATUS FT_Close(FT_HANDLE ftHandle) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  Release(*p);
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle) {
  return OnPort(ftHandle,
                [](Port &p) { return Result(ftdi_usb_reset(p.ftdi)); });
}

FT_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice,
                                     DWORD *lpdwID, char *SerialNumber,
                                     char *Description, void *Dummy) {
  (void)Dummy;
  return OnPort(ftHandle, [&](Port &p) {
    if (lpftDevice != nullptr) *lpftDevice = kTypeR;
    if (lpdwID != nullptr) *lpdwID = p.id;
    if (SerialNumber != nullptr) {
      std::memset(SerialNumber, 0, 16);
      std::memcpy(SerialNumber, p.serial.data(),
                  std::min<size_t>(p.serial.size(), 15));
    }
    if (Description != nullptr) {
      std::memset(Description, 0, 64);
      std::memcpy(Description, p.description.data(),
                  std::min<size_t>(p.description.size(), 63));
    }
    return FT_STATUS{FT_OK};
  });
}

FT_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  return OnPort(ftHandle, [&](Port &p) {
    if (BaudRate == 0 || BaudRate > 3000000) return FT_STATUS{7};
    return Result(ftdi_set_baudrate(p.ftdi, static_cast<int>(BaudRate)));
  });
}

FT_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle,
                                              UCHAR WordLength, UCHAR StopBits,
                                              UCHAR Parity) {
  return OnPort(ftHandle, [&](Port &p) {
    // The vendor's codes and libftdi's agree: 7/8 bits; stop bits 0 (one)
    // or 2 (two); parity 0 none, 1 odd, 2 even, 3 mark, 4 space.
    if ((WordLength != 7 && WordLength != 8) ||
        (StopBits != 0 && StopBits != 2) || Parity > 4) {
      return FT_STATUS{FT_INVALID_PARAMETER};
    }
    return Result(
        ftdi_set_line_property(p.ftdi, static_cast<ftdi_bits_type>(WordLength),
                               static_cast<ftdi_stopbits_type>(StopBits),
                               static_cast<ftdi_parity_type>(Parity)));
  });
}

FT_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl,
                                      UCHAR XonChar, UCHAR XoffChar) {
  return OnPort(ftHandle, [&](Port &p) {
    // The vendor's flow codes are the chip's own: 0 none, 0x100 RTS/CTS,
    // 0x200 DTR/DSR, 0x400 XON/XOFF.
    if (FlowControl == SIO_XON_XOFF_HS) {
      return Result(ftdi_setflowctrl_xonxoff(p.ftdi, XonChar, XoffChar));
    }
    if (FlowControl != SIO_DISABLE_FLOW_CTRL && FlowControl != SIO_RTS_CTS_HS &&
        FlowControl != SIO_DTR_DSR_HS) {
      return FT_STATUS{FT_INVALID_PARAMETER};
    }
    return Result(ftdi_setflowctrl(p.ftdi, FlowControl));
  });
}

FT_EXPORT FT_STATUS FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar,
                                UCHAR EventCharEnabled, UCHAR ErrorChar,
                                UCHAR ErrorCharEnabled) {
  return OnPort(ftHandle, [&](Port &p) {
    FT_STATUS s =
        Result(ftdi_set_event_char(p.ftdi, EventChar, EventCharEnabled));
    if (s != FT_OK) return s;
    return Result(ftdi_set_error_char(p.ftdi, ErrorChar, ErrorCharEnabled));
  });
}

FT_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                                   ULONG WriteTimeout) {
  return OnPort(ftHandle, [&](Port &p) {
    p.readTimeoutMs = static_cast<uint32_t>(ReadTimeout);
    p.ftdi->usb_write_timeout =
        WriteTimeout != 0 ? static_cast<int>(WriteTimeout) : kUsbTimeoutMs;
    return FT_STATUS{FT_OK};
  });
}

FT_EXPORT FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  return OnPort(ftHandle, [&](Port &p) {
    bool rx = (Mask & FT_PURGE_RX) != 0, tx = (Mask & FT_PURGE_TX) != 0;
    // ftdi_tciflush also drops what libftdi itself holds back.
    int r = rx && tx ? ftdi_tcioflush(p.ftdi)
            : rx     ? ftdi_tciflush(p.ftdi)
            : tx     ? ftdi_tcoflush(p.ftdi)
                     : 0;
    return Result(r);
  });
}

FT_EXPORT FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                             DWORD dwBytesToWrite, DWORD *lpBytesWritten) {
  if (lpBytesWritten != nullptr) *lpBytesWritten = 0;
  return OnPort(ftHandle, [&](Port &p) {
    if (lpBuffer == nullptr && dwBytesToWrite != 0) {
      return FT_STATUS{FT_INVALID_PARAMETER};
    }
    if (dwBytesToWrite == 0) return FT_STATUS{FT_OK};
    int n = ftdi_write_data(p.ftdi, static_cast<const uint8_t *>(lpBuffer),
                            static_cast<int>(dwBytesToWrite));
    if (n < 0) return FT_STATUS{FT_IO_ERROR};
    if (lpBytesWritten != nullptr) *lpBytesWritten = static_cast<DWORD>(n);
    return FT_STATUS{FT_OK};
  });
}

// libftdi's read returns at once with what the chip has sent, and each USB
// transfer it makes ends when the chip's latency timer runs out: so the
// loop below waits in the USB transfer, not in a spin. A read that comes
// back empty too soon (a chip answering faster than its timer) sleeps a
// millisecond before the next try.
FT_EXPORT FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer,
                            DWORD dwBytesToRead, DWORD *lpBytesReturned) {
  if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
  return OnPort(ftHandle, [&](Port &p) {
    if (lpBuffer == nullptr && dwBytesToRead != 0) {
      return FT_STATUS{FT_INVALID_PARAMETER};
    }
    auto *out = static_cast<uint8_t *>(lpBuffer);
    bool bounded = p.readTimeoutMs != 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(p.readTimeoutMs);
    DWORD total = 0;
    while (total < dwBytesToRead) {
      auto before = Clock::now();
      int n = ftdi_read_data(p.ftdi, out + total,
                             static_cast<int>(dwBytesToRead - total));
      if (n < 0) {
        if (lpBytesReturned != nullptr) *lpBytesReturned = total;
        return FT_STATUS{FT_IO_ERROR};
      }
      total += static_cast<DWORD>(n);
      if (total >= dwBytesToRead) break;
      auto now = Clock::now();
      if (bounded && now >= deadline) break;
      if (n == 0 && now - before < std::chrono::microseconds(500)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = total;
    return FT_STATUS{FT_OK};
  });
}
