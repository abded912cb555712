// The FT_* functions over a Linux USB-serial tty.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "d2xx.h"
#include "tavobridges.h"
#include "tavotty.h"

#define FT_EXPORT extern "C" __attribute__((visibility("default")))

namespace fs = std::filesystem;

namespace {

constexpr FT_STATUS kInvalidBaudRate = 7;

struct TtyDevice {
  std::string name;  // ttyUSBn
  std::string node;  // /dev/ttyUSBn
  fs::path port;     // the tty's usb-serial port folder in sysfs
  uint32_t id = 0;   // vendor << 16 | product
  std::string serial;
  std::string description;
  std::string usb;  // the USB device's name in sysfs, "1-1.2"
};

struct Port {
  bool used = false;
  int fd = -1;
  uint32_t readTimeoutMs = 0;  // 0: the driver default, wait without end
  uint32_t writeTimeoutMs = 0;
  TtyDevice device;
};

std::mutex Lock;
std::string SysfsRoot = "/sys";
std::string DevRoot = "/dev";
std::array<Port, 16> Ports;
const uint32_t kUnitIds[] = {0x16C91003, 0x16C91403};
std::string Selected = [] {
  const char *s = std::getenv("TAVO_DEVICE");
  return std::string(s != nullptr ? s : "");
}();

bool IsUnit(uint32_t id) {
  return std::find(std::begin(kUnitIds), std::end(kUnitIds), id) !=
         std::end(kUnitIds);
}

std::string ReadLine(const fs::path &file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

uint32_t UsbId(const fs::path &usb) {
  unsigned long vendor =
      std::strtoul(ReadLine(usb / "idVendor").c_str(), nullptr, 16);
  unsigned long product =
      std::strtoul(ReadLine(usb / "idProduct").c_str(), nullptr, 16);
  return static_cast<uint32_t>(((vendor & 0xFFFF) << 16) | (product & 0xFFFF));
}

// Every USB-serial tty the kernel lists, ttyUSB0 first, identified from
// sysfs alone: the USB device that carries a tty is the first folder above
// it that has an idVendor file. Nothing here opens a tty.
std::vector<TtyDevice> ListTtys() {
  std::vector<std::pair<long, TtyDevice>> found;
  std::error_code ec;
  fs::path dir = fs::path(SysfsRoot) / "bus/usb-serial/devices";
  for (const auto &entry : fs::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.rfind("ttyUSB", 0) != 0) continue;
    fs::path port = fs::canonical(entry.path(), ec);
    if (ec) continue;
    fs::path at = port;
    for (int up = 0; up < 5 && !fs::exists(at / "idVendor"); ++up)
      at = at.parent_path();
    if (!fs::exists(at / "idVendor")) continue;
    TtyDevice d;
    d.name = name;
    d.node = (fs::path(DevRoot) / name).string();
    d.port = port;
    d.id = UsbId(at);
    d.serial = ReadLine(at / "serial");
    d.description = ReadLine(at / "product");
    d.usb = at.filename().string();
    found.emplace_back(std::strtol(name.c_str() + 6, nullptr, 10), d);
  }
  std::sort(found.begin(), found.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  std::vector<TtyDevice> out;
  for (auto &f : found) out.push_back(std::move(f.second));
  return out;
}

// The ttys of units, in FT_Open's order: a tty of any other device is never
// listed, so it is never opened, configured or flushed.
std::vector<TtyDevice> ListUnits() {
  std::vector<TtyDevice> units;
  for (TtyDevice &d : ListTtys()) {
    if (IsUnit(d.id) && (Selected.empty() || d.serial == Selected)) {
      units.push_back(std::move(d));
    }
  }
  return units;
}

// Asks for the chip's lowest latency timer, so that a reply of a few bytes
// is not held back for up to 16 ms: through the latency_timer attribute
// where this process may write it (the udev rule of the hardware guide
// sets it at plug-in), and through the low-latency flag, which ftdi_sio
// turns into a timer of 1 ms and which needs no privilege.
void AskForLowLatency(int fd, const fs::path &port) {
  std::ofstream latency(port / "latency_timer");
  if (latency) latency << "1\n";
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) == 0) {
    info.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &info);
  }
}

Port *PortOf(FT_HANDLE handle) {
  for (Port &p : Ports) {
    if (&p == handle && p.used) return &p;
  }
  return nullptr;
}

template <typename Change>
FT_STATUS ChangeTermios(FT_HANDLE handle, Change change) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(handle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  termios t{};
  if (tcgetattr(p->fd, &t) != 0) return FT_IO_ERROR;
  FT_STATUS s = change(t);
  if (s != FT_OK) return s;
  return tcsetattr(p->fd, TCSANOW, &t) == 0 ? FT_OK : FT_IO_ERROR;
}

speed_t SpeedFor(ULONG baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}

// Milliseconds left until `deadline`, or -1 (wait without end) when there is
// no deadline.
int Remaining(bool bounded, std::chrono::steady_clock::time_point deadline) {
  if (!bounded) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void tavotty_set_roots(
    const char *sysfs, const char *dev) {
  std::lock_guard<std::mutex> guard(Lock);
  SysfsRoot = sysfs != nullptr ? sysfs : "/sys";
  DevRoot = dev != nullptr ? dev : "/dev";
}

FT_EXPORT FT_STATUS FT_ListDevices(void *pArg1, void *pArg2, DWORD Flags) {
  (void)pArg2;
  if ((Flags & FT_LIST_NUMBER_ONLY) == 0 || pArg1 == nullptr)
    return FT_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(Lock);
  *static_cast<DWORD *>(pArg1) = static_cast<DWORD>(ListUnits().size());
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_Open(int deviceNumber, FT_HANDLE *pHandle) {
  if (pHandle == nullptr) return FT_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(Lock);
  std::vector<TtyDevice> units = ListUnits();
  if (deviceNumber < 0 || deviceNumber >= static_cast<int>(units.size())) {
    return FT_DEVICE_NOT_FOUND;
  }
  auto free = std::find_if(Ports.begin(), Ports.end(),
                           [](const Port &p) { return !p.used; });
  if (free == Ports.end()) return FT_INSUFFICIENT_RESOURCES;
  const TtyDevice &d = units[static_cast<size_t>(deviceNumber)];
  int fd = open(d.node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FT_DEVICE_NOT_OPENED;
  // One user at a time: the lock keeps out every program that asks for it
  // (another tavoctl, other serial tools), TIOCEXCL every later open()
  // by a program without privilege.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return FT_DEVICE_NOT_OPENED;
  }
  ioctl(fd, TIOCEXCL);
  AskForLowLatency(fd, d.port);
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);  // bytes as they are: no echo, no line editing
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B9600);  // the bridge's power-on rate
    cfsetospeed(&t, B9600);
    tcsetattr(fd, TCSANOW, &t);
  }
  *free = Port{true, fd, 0, 0, d};
  *pHandle = &*free;
  return FT_OK;
}

FT_EXPORT void tavo_bridges_select(const char *serial) {
  std::lock_guard<std::mutex> guard(Lock);
  Selected = serial != nullptr ? serial : "";
}

// The units first (each with what keeps it from being used), then the
// USB devices with the unit's ids that have no tty, then every other
// USB-serial tty. Only a unit's own tty is opened, and only to see
// whether another program holds it.
FT_EXPORT int tavo_bridges_list(tavo_bridge *bridges, int max) {
  std::lock_guard<std::mutex> guard(Lock);
  std::vector<tavo_bridge> rows;
  std::vector<TtyDevice> ttys = ListTtys();
  auto row = [](const TtyDevice &d) {
    tavo_bridge b{};
    b.id = d.id;
    b.index = -1;
    std::snprintf(b.serial, sizeof b.serial, "%s", d.serial.c_str());
    std::snprintf(b.description, sizeof b.description, "%s",
                  d.description.c_str());
    std::snprintf(b.location, sizeof b.location, "%s (usb %s)", d.node.c_str(),
                  d.usb.c_str());
    return b;
  };
  int index = 0;
  for (const TtyDevice &d : ttys) {
    if (!IsUnit(d.id) || !(Selected.empty() || d.serial == Selected)) {
      continue;
    }
    tavo_bridge b = row(d);
    b.unit = 1;
    b.index = index++;
    std::string problem;
    bool ours = std::any_of(Ports.begin(), Ports.end(), [&](const Port &p) {
      return p.used && p.device.node == d.node;
    });
    if (ours) {
      problem = "open in this program";
    } else if (access(d.node.c_str(), R_OK | W_OK) != 0) {
      problem = "no permission on " + d.node +
                ": add yourself to group dialout (sudo usermod -aG dialout "
                "$USER) and log in again";
    } else {
      int fd = open(d.node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0 && errno == EBUSY) {
        problem = "opened by another process: close the other program";
      } else if (fd < 0) {
        problem = "cannot open " + d.node + ": " + std::strerror(errno);
      } else {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
          problem = "opened by another process: close the other program";
        }
        close(fd);
      }
    }
    std::snprintf(b.problem, sizeof b.problem, "%s", problem.c_str());
    rows.push_back(b);
  }
  // A unit the kernel has not given a tty: ftdi_sio does not know its ids.
  std::error_code ec;
  std::vector<fs::path> usb;
  for (const auto &entry :
       fs::directory_iterator(fs::path(SysfsRoot) / "bus/usb/devices", ec)) {
    usb.push_back(entry.path());
  }
  std::sort(usb.begin(), usb.end());
  for (const fs::path &dev : usb) {
    uint32_t id = UsbId(dev);
    std::string name = dev.filename().string();
    bool hasTty =
        std::any_of(ttys.begin(), ttys.end(),
                    [&](const TtyDevice &d) { return d.usb == name; });
    if (!IsUnit(id) || hasTty) continue;
    tavo_bridge b{};
    b.id = id;
    b.unit = 1;
    b.index = -1;
    std::snprintf(b.serial, sizeof b.serial, "%s",
                  ReadLine(dev / "serial").c_str());
    std::snprintf(b.description, sizeof b.description, "%s",
                  ReadLine(dev / "product").c_str());
    std::snprintf(b.location, sizeof b.location, "usb %s (no tty)",
                  name.c_str());
    std::snprintf(
        b.problem, sizeof b.problem,
        "the kernel's ftdi_sio driver is not bound to it, so it has no "
        "/dev/ttyUSB port: install packaging/udev/70-tavoctl.rules and plug "
        "the unit in again (or: echo %04x %04x | sudo tee "
        "/sys/bus/usb-serial/drivers/ftdi_sio/new_id), or use "
        "libtavoftdi.so, which needs no kernel driver",
        id >> 16, id & 0xFFFF);
    rows.push_back(b);
  }
  for (const TtyDevice &d : ttys) {
    if (IsUnit(d.id)) continue;
    rows.push_back(row(d));
  }
  for (size_t i = 0; i < rows.size() && static_cast<int>(i) < max; ++i) {
    if (bridges != nullptr) bridges[i] = rows[i];
  }
  return static_cast<int>(rows.size());
}

FT_EXPORT FT_STATUS FT_Close(FT_HANDLE ftHandle) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  close(p->fd);
  *p = Port{};
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_ResetDevice(FT_HANDLE ftHandle) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  return tcflush(p->fd, TCIOFLUSH) == 0 ? FT_OK : FT_IO_ERROR;
}

FT_EXPORT FT_STATUS FT_GetDeviceInfo(FT_HANDLE ftHandle, FT_DEVICE *lpftDevice,
                                     DWORD *lpdwID, char *SerialNumber,
                                     char *Description, void *Dummy) {
  (void)Dummy;
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  if (lpftDevice != nullptr) *lpftDevice = 5;  // a 232R-class bridge
  if (lpdwID != nullptr) *lpdwID = p->device.id;
  // The vendor's buffers: 16 bytes of serial number, 64 of description,
  // each ending in a 0.
  if (SerialNumber != nullptr) {
    std::memset(SerialNumber, 0, 16);
    std::memcpy(SerialNumber, p->device.serial.data(),
                std::min<size_t>(p->device.serial.size(), 15));
  }
  if (Description != nullptr) {
    std::memset(Description, 0, 64);
    std::memcpy(Description, p->device.description.data(),
                std::min<size_t>(p->device.description.size(), 63));
  }
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate) {
  return ChangeTermios(ftHandle, [BaudRate](termios &t) -> FT_STATUS {
    speed_t speed = SpeedFor(BaudRate);
    if (speed == B0) return kInvalidBaudRate;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    return FT_OK;
  });
}

FT_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle,
                                              UCHAR WordLength, UCHAR StopBits,
                                              UCHAR Parity) {
  return ChangeTermios(ftHandle, [=](termios &t) -> FT_STATUS {
    if ((WordLength != 7 && WordLength != 8) || StopBits > 2 || Parity > 2) {
      return FT_INVALID_PARAMETER;
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
    t.c_cflag |= WordLength == 8 ? CS8 : CS7;
    if (StopBits == 2) t.c_cflag |= CSTOPB;
    if (Parity == 1) t.c_cflag |= PARENB | PARODD;
    if (Parity == 2) t.c_cflag |= PARENB;
    return FT_OK;
  });
}

FT_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl,
                                      UCHAR XonChar, UCHAR XoffChar) {
  return ChangeTermios(ftHandle, [=](termios &t) -> FT_STATUS {
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (FlowControl == 0x0100) t.c_cflag |= CRTSCTS;
    if (FlowControl == 0x0400) {
      t.c_iflag |= IXON | IXOFF;
      t.c_cc[VSTART] = XonChar;
      t.c_cc[VSTOP] = XoffChar;
    }
    return FT_OK;
  });
}

FT_EXPORT FT_STATUS FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar,
                                UCHAR EventCharEnabled, UCHAR ErrorChar,
                                UCHAR ErrorCharEnabled) {
  (void)EventChar, (void)EventCharEnabled, (void)ErrorChar,
      (void)ErrorCharEnabled;
  std::lock_guard<std::mutex> guard(Lock);
  return PortOf(ftHandle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

FT_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout,
                                   ULONG WriteTimeout) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  p->readTimeoutMs = ReadTimeout;
  p->writeTimeoutMs = WriteTimeout;
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_Purge(FT_HANDLE ftHandle, ULONG Mask) {
  std::lock_guard<std::mutex> guard(Lock);
  Port *p = PortOf(ftHandle);
  if (p == nullptr) return FT_INVALID_HANDLE;
  bool rx = (Mask & FT_PURGE_RX) != 0, tx = (Mask & FT_PURGE_TX) != 0;
  if (!rx && !tx) return FT_OK;
  return tcflush(p->fd, rx && tx ? TCIOFLUSH
                        : rx     ? TCIFLUSH
                                 : TCOFLUSH) == 0
             ? FT_OK
             : FT_IO_ERROR;
}

// Moves bytes until all are done or the time-out runs out. Like the vendor's
// driver, running out of time is no error: the call succeeds with fewer
// bytes. One deadline covers the whole call.
template <typename Step>
FT_STATUS Transfer(FT_HANDLE ftHandle, bool reading, DWORD size, DWORD *done,
                   Step step) {
  int fd;
  uint32_t timeoutMs;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Port *p = PortOf(ftHandle);
    if (p == nullptr) return FT_INVALID_HANDLE;
    fd = p->fd;
    timeoutMs = reading ? p->readTimeoutMs : p->writeTimeoutMs;
  }
  bool bounded = timeoutMs != 0;
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  DWORD total = 0;
  while (total < size) {
    ssize_t n = step(fd, total);
    if (n > 0) {
      total += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (done != nullptr) *done = total;
      return FT_IO_ERROR;
    }
    int wait = Remaining(bounded, deadline);
    if (wait == 0) break;
    pollfd pfd{fd, static_cast<short>(reading ? POLLIN : POLLOUT), 0};
    if (poll(&pfd, 1, wait) == 0) break;
  }
  if (done != nullptr) *done = total;
  return FT_OK;
}

FT_EXPORT FT_STATUS FT_Write(FT_HANDLE ftHandle, void *lpBuffer,
                             DWORD dwBytesToWrite, DWORD *lpBytesWritten) {
  const auto *bytes = static_cast<const uint8_t *>(lpBuffer);
  return Transfer(ftHandle, false, dwBytesToWrite, lpBytesWritten,
                  [&](int fd, DWORD at) {
                    return write(fd, bytes + at, dwBytesToWrite - at);
                  });
}

FT_EXPORT FT_STATUS FT_Read(FT_HANDLE ftHandle, void *lpBuffer,
                            DWORD dwBytesToRead, DWORD *lpBytesReturned) {
  auto *bytes = static_cast<uint8_t *>(lpBuffer);
  return Transfer(ftHandle, true, dwBytesToRead, lpBytesReturned,
                  [&](int fd, DWORD at) {
                    return read(fd, bytes + at, dwBytesToRead - at);
                  });
}
