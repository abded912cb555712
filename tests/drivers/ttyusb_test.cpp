// The tty provider against a made-up sysfs tree and pseudo-terminals that
// stand in for the kernel's USB-serial ttys.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "d2xx.h"
#include "tavotty.h"

namespace fs = std::filesystem;

namespace {

struct FakeTty {
  int master = -1;
  int slave = -1;
  std::string slavePath;
};

class TtyProvider : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tavotty-" + std::to_string(getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "sys/bus/usb-serial/devices");
    fs::create_directories(root_ / "sys/bus/usb/devices");
    fs::create_directories(root_ / "dev");
    tavotty_set_roots((root_ / "sys").c_str(), (root_ / "dev").c_str());
  }
  void TearDown() override {
    tavotty_set_roots(nullptr, nullptr);
    tavo_bridges_select(nullptr);
    for (FakeTty &t : ttys_) {
      close(t.master);
      close(t.slave);
    }
    fs::remove_all(root_);
  }

  // A USB device with one serial interface and its tty, as the kernel lays
  // them out: the tty entry links into the device's interface folder.
  FakeTty &AddTty(int number, const char *vendor, const char *product,
                  const char *serial) {
    FakeTty t;
    char name[64];
    EXPECT_EQ(openpty(&t.master, &t.slave, name, nullptr, nullptr), 0);
    t.slavePath = name;
    std::string tty = "ttyUSB" + std::to_string(number);
    fs::path usb = AddUsbDevice(number + 1, vendor, product, serial);
    fs::path iface = usb / ("1-" + std::to_string(number + 1) + ":1.0") / tty;
    fs::create_directories(iface);
    std::ofstream(iface / "latency_timer") << "16\n";
    fs::create_directory_symlink(iface,
                                 root_ / "sys/bus/usb-serial/devices" / tty);
    fs::create_symlink(t.slavePath, root_ / "dev" / tty);
    ttys_.push_back(t);
    return ttys_.back();
  }

  // A USB device as the kernel lists it, with no driver's tty.
  fs::path AddUsbDevice(int port, const char *vendor, const char *product,
                        const char *serial) {
    std::string name = "1-" + std::to_string(port);
    fs::path usb = root_ / "sys/devices/usb1" / name;
    fs::create_directories(usb);
    std::ofstream(usb / "idVendor") << vendor << "\n";
    std::ofstream(usb / "idProduct") << product << "\n";
    std::ofstream(usb / "serial") << serial << "\n";
    std::ofstream(usb / "product") << "USB serial bridge\n";
    fs::create_directory_symlink(usb, root_ / "sys/bus/usb/devices" / name);
    return usb;
  }

  std::string Latency(int number) {
    std::ifstream in(root_ / "sys/bus/usb-serial/devices" /
                     ("ttyUSB" + std::to_string(number)) / "latency_timer");
    std::string line;
    std::getline(in, line);
    return line;
  }

  std::string SerialOf(FT_HANDLE h) {
    char serial[16] = {}, description[64];
    DWORD id = 0;
    EXPECT_EQ(FT_GetDeviceInfo(h, nullptr, &id, serial, description, nullptr),
              FT_OK);
    return serial;
  }

  FT_HANDLE Open(int index) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_Open(index, &h), FT_OK);
    return h;
  }

  fs::path root_;
  std::vector<FakeTty> ttys_;
};

TEST_F(TtyProvider, ListsTheUnitsTtysInNumberOrder) {
  DWORD count = 99;
  EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 0u);
  AddTty(10, "16c9", "1003", "TV00000010");
  AddTty(0, "0403", "6001", "OTHER");
  AddTty(2, "16c9", "1403", "TV00000002");
  EXPECT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 2u);
  // Only the number-only query is offered.
  EXPECT_NE(FT_ListDevices(&count, nullptr, 0), FT_OK);

  // ttyUSB2 comes before ttyUSB10.
  FT_HANDLE h = Open(0);
  FT_DEVICE type = 0;
  DWORD id = 0;
  char serial[16], description[64];
  ASSERT_EQ(FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr),
            FT_OK);
  EXPECT_EQ(id, 0x16C91403u);
  EXPECT_STREQ(serial, "TV00000002");
  EXPECT_STREQ(description, "USB serial bridge");
  EXPECT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
}

// A receipt printer's tty beside the unit: listing, opening every unit and
// describing the bridges never open it, so its line settings stay as its
// own program left them.
TEST_F(TtyProvider, NeverOpensATtyThatIsNotTheUnits) {
  FakeTty printer = AddTty(0, "0403", "6001", "PRINTER");
  AddTty(1, "16c9", "1003", "TV1");
  termios before{};
  ASSERT_EQ(tcgetattr(printer.slave, &before), 0);
  before.c_lflag |= ICANON | ECHO;
  cfsetospeed(&before, B1200);
  ASSERT_EQ(tcsetattr(printer.slave, TCSANOW, &before), 0);
  int watch = inotify_init1(IN_NONBLOCK);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, printer.slavePath.c_str(),
                              IN_OPEN | IN_MODIFY | IN_ATTRIB),
            0);

  DWORD count = 0;
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 1u);
  for (DWORD i = 0; i < count; ++i) {
    FT_HANDLE h = Open(static_cast<int>(i));
    EXPECT_EQ(SerialOf(h), "TV1");
    ASSERT_EQ(FT_SetBaudRate(h, 38400), FT_OK);
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
    FT_Close(h);
  }
  tavo_bridge rows[4];
  ASSERT_EQ(tavo_bridges_list(rows, 4), 2);
  EXPECT_EQ(rows[0].unit, 1);
  EXPECT_EQ(rows[1].unit, 0);
  EXPECT_EQ(rows[1].id, 0x04036001u);
  EXPECT_STREQ(rows[1].serial, "PRINTER");

  char events[4096];
  EXPECT_LT(read(watch, events, sizeof events), 0)
      << "the printer's tty was opened";
  close(watch);
  termios after{};
  ASSERT_EQ(tcgetattr(printer.slave, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B1200));
  EXPECT_NE(after.c_lflag & ICANON, 0u);
}

TEST_F(TtyProvider, OpensTheUnitExclusivelyWithTheLowestLatency) {
  FakeTty &tty = AddTty(0, "16c9", "1003", "TV1");
  EXPECT_EQ(Latency(0), "16");
  FT_HANDLE h = Open(0);
  EXPECT_EQ(Latency(0), "1");
  FT_HANDLE second = nullptr;
  EXPECT_EQ(FT_Open(0, &second), FT_DEVICE_NOT_OPENED);
  tavo_bridge row{};
  ASSERT_EQ(tavo_bridges_list(&row, 1), 1);
  EXPECT_STREQ(row.problem, "open in this program");
  FT_Close(h);

  // Another program holding the tty.
  int other = open(tty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(FT_Open(0, &second), FT_DEVICE_NOT_OPENED);
  ASSERT_EQ(tavo_bridges_list(&row, 1), 1);
  EXPECT_NE(std::string(row.problem).find("another process"), std::string::npos)
      << row.problem;
  close(other);
  h = Open(0);
  FT_Close(h);
}

// A unit whose ids ftdi_sio does not know has no tty: it is not listed, and
// the description says what to do.
TEST_F(TtyProvider, AUnitWithoutATtySaysHowToBindTheDriver) {
  AddUsbDevice(3, "16c9", "1403", "TV3");
  DWORD count = 9;
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 0u);
  tavo_bridge row{};
  ASSERT_EQ(tavo_bridges_list(&row, 1), 1);
  EXPECT_EQ(row.id, 0x16C91403u);
  EXPECT_EQ(row.index, -1);
  std::string problem = row.problem;
  EXPECT_NE(problem.find("ftdi_sio"), std::string::npos) << problem;
  EXPECT_NE(problem.find("70-tavoctl.rules"), std::string::npos) << problem;
  EXPECT_NE(problem.find("16c9 1403"), std::string::npos) << problem;
}

TEST_F(TtyProvider, SelectsAUnitBySerial) {
  AddTty(0, "16c9", "1003", "TV-A");
  AddTty(1, "16c9", "1003", "TV-B");
  DWORD count = 0;
  tavo_bridges_select("TV-B");
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 1u);
  FT_HANDLE h = Open(0);
  EXPECT_EQ(SerialOf(h), "TV-B");
  FT_Close(h);
  tavo_bridges_select(nullptr);
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 2u);
}

TEST_F(TtyProvider, RefusesDevicesThatAreNotThere) {
  AddTty(0, "16c9", "1003", "TV1");
  FT_HANDLE h = nullptr;
  EXPECT_EQ(FT_Open(1, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_Open(-1, &h), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_ResetDevice(nullptr), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Purge(&h, 3), FT_INVALID_HANDLE);
}

TEST_F(TtyProvider, SetsTheSerialLine) {
  FakeTty &tty = AddTty(0, "16c9", "1003", "TV1");
  FT_HANDLE h = Open(0);
  ASSERT_EQ(FT_SetBaudRate(h, 38400), FT_OK);
  ASSERT_EQ(
      FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
      FT_OK);
  ASSERT_EQ(FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0), FT_OK);
  ASSERT_EQ(FT_SetChars(h, 0, 0, 0, 0), FT_OK);
  termios t{};
  ASSERT_EQ(tcgetattr(tty.slave, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (CSTOPB | PARENB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);  // raw bytes
  EXPECT_EQ(FT_SetBaudRate(h, 12345), 7u);     // no such rate
  EXPECT_EQ(FT_SetDataCharacteristics(h, 5, 0, 0), FT_INVALID_PARAMETER);
  FT_Close(h);
}

TEST_F(TtyProvider, MovesBytesBothWaysAndTimesOutWithFewerBytes) {
  FakeTty &tty = AddTty(0, "16c9", "1003", "TV1");
  FT_HANDLE h = Open(0);
  ASSERT_EQ(FT_SetTimeouts(h, 50, 50), FT_OK);

  uint8_t frame[] = {0xF0, 0x0F};
  DWORD written = 0;
  ASSERT_EQ(FT_Write(h, frame, 2, &written), FT_OK);
  EXPECT_EQ(written, 2u);
  uint8_t seen[2] = {};
  ASSERT_EQ(read(tty.master, seen, 2), 2);
  EXPECT_EQ(seen[0], 0xF0);
  EXPECT_EQ(seen[1], 0x0F);

  const uint8_t reply[] = {0x33, 0x01, 0x42, 0x43};
  ASSERT_EQ(write(tty.master, reply, sizeof reply), 4);
  uint8_t status = 0;
  DWORD got = 0;
  ASSERT_EQ(FT_Read(h, &status, 1, &got), FT_OK);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(status, 0x33);
  // Three bytes are left; asking for five ends at the time-out with three.
  uint8_t rest[5] = {};
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FT_Read(h, rest, 5, &got), FT_OK);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(got, 3u);
  EXPECT_EQ(rest[2], 0x43);
  EXPECT_GE(waited, std::chrono::milliseconds(40));

  // A purge drops what the unit sent and nobody read.
  ASSERT_EQ(write(tty.master, reply, sizeof reply), 4);
  usleep(20000);
  ASSERT_EQ(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  ASSERT_EQ(FT_Read(h, rest, 1, &got), FT_OK);
  EXPECT_EQ(got, 0u);
  FT_Close(h);
}

}  // namespace
