// libtavoftdi.so end to end: the library's exports, over the provider, over
// libftdi and libusb, to emulated bridges under umockdev with the virtual
// unit's protocol model on their serial side.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "d2xx.h"
#include "emulated_bridge.h"
#include "tavoctl.h"
#include "tavoftdi.h"
#include "usb_sale.h"

namespace {

using usbtest::BridgeConfig;
using usbtest::Bridges;

class UsbBridge : public ::testing::Test {
 protected:
  void SetUp() override { tavo_bridges_select(nullptr); }
  void TearDown() override {
    if (handle_ != 0) TAVO_Close(handle_);
    for (int unit = 0; unit < units_; ++unit) {
      vu_money_report report{};
      EXPECT_EQ(VU_OK, bridges_.Vu().check_money(unit, &report))
          << "money is not conserved on unit " << unit;
    }
  }

  // A virtual unit wired to a new bridge with `config`.
  int AddUnit(BridgeConfig config = {}) {
    vu_device_config c;
    bridges_.Vu().default_config(&c);
    config.unit = bridges_.Vu().add_device(&c);
    ++units_;
    return bridges_.Add(config);
  }

  std::string Serial() {
    PcbData board{};
    EXPECT_EQ(0u, TAVO_GetPCBData(handle_, &board));
    return std::string(reinterpret_cast<const char *>(board.SerialNo),
                       strnlen(reinterpret_cast<const char *>(board.SerialNo),
                               sizeof board.SerialNo));
  }

  Bridges bridges_{TAVOVU_SO};
  uint32_t handle_ = 0;
  int units_ = 0;
};

TEST_F(UsbBridge, WholeSaleBalances) {
  AddUnit();
  ASSERT_EQ(0u, TAVO_Open(&handle_));
  EXPECT_EQ("TV00000001", Serial()) << "the serial of the USB descriptor";
  EXPECT_EQ("", usbtest::WholeSale(bridges_, 0, handle_));
  vu_money_report money{};
  ASSERT_EQ(VU_OK, bridges_.Vu().check_money(0, &money));
  EXPECT_EQ(1500, money.value_in);
  EXPECT_EQ(220, money.value_out);
  usbtest::ChipState chip = bridges_.State(0);
  EXPECT_GT(chip.host_bytes, 100u);
  EXPECT_GT(chip.unit_bytes, chip.host_bytes) << "replies carry the data";
  EXPECT_EQ(0u, TAVO_Close(handle_));
  handle_ = 0;
}

// What the chip was told: 38400 baud (decoded from the divisor the chip
// received), 8 data bits, no parity, 1 stop bit, no flow control, and the
// lowest latency timer it takes.
TEST_F(UsbBridge, SetsTheLineAndTheLowestLatencyTheChipTakes) {
  struct Case {
    int min_latency_ms;
    int expected_ms;
  };
  for (Case c : {Case{1, 1}, Case{2, 2}, Case{16, 16}}) {
    SCOPED_TRACE(c.min_latency_ms);
    BridgeConfig config;
    config.min_latency_ms = c.min_latency_ms;
    config.port = units_ + 1;
    config.serial = "TV" + std::to_string(units_);
    int bridge = AddUnit(config);
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_Open(bridge, &h), FT_OK);
    FT_DEVICE type = 0;
    DWORD id = 0;
    char serial[16], description[64];
    ASSERT_EQ(FT_GetDeviceInfo(h, &type, &id, serial, description, nullptr),
              FT_OK);
    EXPECT_EQ(type, 5u) << "FT232R";
    EXPECT_EQ(id, 0x16C91003u);
    EXPECT_EQ(serial, config.serial);
    EXPECT_STREQ(description, "TAVO payment unit");
    ASSERT_EQ(FT_SetBaudRate(h, 38400), FT_OK);
    ASSERT_EQ(
        FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE),
        FT_OK);
    ASSERT_EQ(FT_SetFlowControl(h, FT_FLOW_NONE, 0, 0), FT_OK);
    usbtest::ChipState chip = bridges_.State(bridge);
    EXPECT_NEAR(chip.baud, 38400.0, 38400.0 * 0.005);
    EXPECT_EQ(chip.data, 0x0008) << "8 bits, parity none, 1 stop bit";
    EXPECT_EQ(chip.flow, 0);
    EXPECT_EQ(chip.latency_ms, c.expected_ms);
    EXPECT_EQ(FT_Close(h), FT_OK);
  }
}

// The library's purge (mask 3) reaches the chip as both of its purges:
// value 1 empties what waits to go out on the serial line, value 2 what
// waits to go to the host.
TEST_F(UsbBridge, PurgeEmptiesBothOfTheChipsQueues) {
  AddUnit();
  FT_HANDLE h = nullptr;
  ASSERT_EQ(FT_Open(0, &h), FT_OK);
  struct Case {
    ULONG mask;
    std::vector<uint16_t> values;
  };
  for (const Case &c : {Case{FT_PURGE_RX, {2}}, Case{FT_PURGE_TX, {1}},
                        Case{FT_PURGE_RX | FT_PURGE_TX, {2, 1}}}) {
    bridges_.ClearControls(0);
    ASSERT_EQ(FT_Purge(h, c.mask), FT_OK);
    std::vector<uint16_t> seen;
    for (const usbtest::Control &r : bridges_.Controls(0)) {
      if (r.request == 0) seen.push_back(r.value);
    }
    std::sort(seen.begin(), seen.end());
    std::vector<uint16_t> expected = c.values;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(seen, expected) << "mask " << c.mask;
  }
  FT_Close(h);
}

TEST_F(UsbBridge, ReadEndsAtItsTimeOutWhenTheUnitIsSilent) {
  BridgeConfig config;
  config.unit = -1;  // nothing on the serial side
  bridges_.Add(config);
  FT_HANDLE h = nullptr;
  ASSERT_EQ(FT_Open(0, &h), FT_OK);
  ASSERT_EQ(FT_SetTimeouts(h, 200, 300), FT_OK);
  uint8_t frame[] = {0xF0, 0x0F};
  DWORD n = 99;
  ASSERT_EQ(FT_Write(h, frame, 2, &n), FT_OK);
  EXPECT_EQ(n, 2u);
  uint8_t byte = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FT_Read(h, &byte, 1, &n), FT_OK);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(n, 0u);
  EXPECT_GE(waited, std::chrono::milliseconds(195));
  FT_Close(h);

  // Through the library: the board's hello goes unanswered.
  EXPECT_NE(0u, TAVO_Open(&handle_));
  handle_ = 0;
}

// Pulled out in the middle of a trade: the next export fails with a code,
// the coin already taken in stays counted in the unit, and once the bridge
// is back a new open finds the unit and the coin.
TEST_F(UsbBridge, UnpluggedInATradeFailsCleanlyAndOpensAgainWhenBack) {
  AddUnit();
  ASSERT_EQ(0u, TAVO_Open(&handle_));
  ASSERT_EQ(0u, TAVO_TradeBegin(handle_));
  ASSERT_EQ(0u, TAVO_Accept(handle_, 1000));
  ASSERT_EQ(VU_OK, bridges_.Vu().insert_coin(0, 500));
  TavoData live{};
  ASSERT_EQ(0u, TAVO_GetTAVOData(handle_, &live));
  EXPECT_EQ(1, live.CoinIn[3]);

  bridges_.Unplug(0);
  uint32_t code = TAVO_GetTAVOData(handle_, &live);
  EXPECT_NE(0u, code);
  EXPECT_EQ(0x06u, code >> 8) << "the code names the export that failed";
  TAVO_Close(handle_);
  handle_ = 0;
  EXPECT_EQ(0x0113u, TAVO_Open(&handle_)) << "no device while unplugged";
  handle_ = 0;

  bridges_.Replug(0);
  ASSERT_EQ(0u, TAVO_Open(&handle_));
  ASSERT_EQ(0u, TAVO_GetTAVOData(handle_, &live));
  // The open settles the units, which closes the trade's counts; the coin
  // is in the stock.
  EXPECT_EQ(21, live.CoinStock[3]) << "the coin of 500 is still there";
}

TEST_F(UsbBridge, TwoBridgesAreListedByPortAndChosenBySerial) {
  BridgeConfig second;
  second.port = 2;
  second.serial = "TV00000002";
  BridgeConfig first;
  first.port = 1;
  first.serial = "TV00000001";
  first.product = 0x1403;
  AddUnit(second);
  AddUnit(first);

  DWORD count = 0;
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 2u);
  char serial[16];
  ASSERT_EQ(FT_ListDevices(reinterpret_cast<void *>(uintptr_t{0}), serial,
                           0x40000000u | 1u),
            FT_OK);
  EXPECT_STREQ(serial, "TV00000001") << "port 1 comes first";

  ASSERT_EQ(0u, TAVO_Open(&handle_));
  EXPECT_EQ("TV00000001", Serial());
  TAVO_Close(handle_);

  tavo_bridges_select("TV00000002");
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(0u, TAVO_Open(&handle_));
  EXPECT_EQ("TV00000002", Serial());
  EXPECT_EQ(0u, TAVO_Close(handle_));
  handle_ = 0;
  tavo_bridges_select("NOSUCHUNIT");
  EXPECT_EQ(0x0113u, TAVO_Open(&handle_));
}

TEST_F(UsbBridge, ABridgeWithOtherIdsIsNeverTouched) {
  BridgeConfig foreign;
  foreign.vendor = 0x0403;
  foreign.product = 0x6001;
  foreign.serial = "PRINTER1";
  foreign.unit = -1;
  foreign.port = 1;
  int printer = bridges_.Add(foreign);
  BridgeConfig unit;
  unit.port = 2;
  AddUnit(unit);

  ASSERT_EQ(0u, TAVO_Open(&handle_));
  EXPECT_EQ(0u, TAVO_Close(handle_));
  handle_ = 0;
  tavo_bridge rows[4];
  ASSERT_EQ(2, tavo_bridges_list(rows, 4));
  EXPECT_EQ(rows[0].unit, 1);
  EXPECT_EQ(rows[0].index, 0);
  EXPECT_STREQ(rows[0].serial, "TV00000001");
  EXPECT_STREQ(rows[0].problem, "");
  EXPECT_EQ(rows[1].id, 0x04036001u);
  EXPECT_EQ(rows[1].unit, 0);
  EXPECT_EQ(rows[1].index, -1);
  EXPECT_STREQ(rows[1].location, "usb 1-1");
  EXPECT_EQ(bridges_.State(printer).ioctls, 0) << "never opened";
}

TEST_F(UsbBridge, DetachesTheKernelDriverAndReportsAUnitInUse) {
  BridgeConfig bound;
  bound.kernel_driver = true;
  bound.port = 1;
  AddUnit(bound);
  BridgeConfig busy;
  busy.busy = true;
  busy.port = 2;
  busy.serial = "TV00000002";
  AddUnit(busy);

  tavo_bridge rows[2];
  ASSERT_EQ(2, tavo_bridges_list(rows, 2));
  EXPECT_NE(std::string(rows[0].problem).find("ftdi_sio"), std::string::npos)
      << rows[0].problem;
  EXPECT_NE(std::string(rows[1].problem).find("another process"),
            std::string::npos)
      << rows[1].problem;
  EXPECT_TRUE(bridges_.State(0).kernel_driver) << "listing leaves it bound";

  FT_HANDLE h = nullptr;
  ASSERT_EQ(FT_Open(0, &h), FT_OK);
  EXPECT_FALSE(bridges_.State(0).kernel_driver);
  FT_HANDLE other = nullptr;
  EXPECT_EQ(FT_Open(1, &other), FT_DEVICE_NOT_OPENED);
  FT_Close(h);
}

struct Outcome {
  int exit;
  std::string out;
};

// Runs the tool as a user would; it inherits the preload and the testbed,
// so its USB calls reach this process's emulated bridges.
Outcome Tavo(const std::string &args) {
  std::string command = std::string(TAVO_EXE) + " " + args + " 2>&1";
  Outcome r{-1, {}};
  FILE *p = popen(command.c_str(), "r");
  if (p == nullptr) return r;
  std::array<char, 512> buffer;
  while (std::fgets(buffer.data(), buffer.size(), p)) r.out += buffer.data();
  int status = pclose(p);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

const std::string kFtdi = std::string("--provider ") + TAVOFTDI_SO;

TEST_F(UsbBridge, TavoDevicesMarksTheUnitsAndSaysWhyOneCannotBeUsed) {
  BridgeConfig ready;
  ready.port = 1;
  AddUnit(ready);
  BridgeConfig busy;
  busy.port = 2;
  busy.serial = "TV00000002";
  busy.busy = true;
  AddUnit(busy);
  BridgeConfig printer;
  printer.port = 3;
  printer.vendor = 0x0403;
  printer.product = 0x6001;
  printer.unit = -1;
  int other = bridges_.Add(printer);

  Outcome r = Tavo(kFtdi + " devices");
  EXPECT_EQ(0, r.exit) << r.out;
  EXPECT_NE(r.out.find("unit   16C9:1003  serial TV00000001"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("cannot be used: opened by another process"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("other  0403:6001"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("1 unit ready"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("VIRTUAL UNIT"), std::string::npos) << r.out;
  EXPECT_EQ(bridges_.State(other).ioctls, 0);

  // The virtual unit says what it is, in the banner and in its serial
  // number and description.
  r = Tavo("devices");
  EXPECT_NE(r.out.find("*** VIRTUAL UNIT"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("serial VIRTUAL00000001  TAVO payment unit (virtual)"),
            std::string::npos)
      << r.out;
}

// `tavo sell` on the second of two units, chosen by its serial number; the
// customer pays on that unit while the tool waits.
TEST_F(UsbBridge, TavoSellsOnTheUnitChosenBySerial) {
  BridgeConfig first;
  first.port = 1;
  AddUnit(first);
  BridgeConfig second;
  second.port = 2;
  second.serial = "TV00000002";
  AddUnit(second);

  std::future<Outcome> sale = std::async(std::launch::async, [] {
    return Tavo(kFtdi + " --device TV00000002 sell 1280 --wait 30");
  });
  auto accepting = [&] {
    vu_state s{};
    bridges_.Vu().get_state(1, &s);
    return s.note_accepting != 0 && s.coin_accepting != 0;
  };
  for (int i = 0; i < 2000 && !accepting(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(accepting()) << sale.get().out;
  EXPECT_EQ(VU_OK, bridges_.Vu().insert_note(1, 1000));
  EXPECT_EQ(VU_OK, bridges_.Vu().insert_coin(1, 500));
  Outcome r = sale.get();
  EXPECT_EQ(0, r.exit) << r.out;
  EXPECT_NE(r.out.find("sold for 1280: paid 1500, change 220"),
            std::string::npos)
      << r.out;
  vu_state untouched{};
  ASSERT_EQ(VU_OK, bridges_.Vu().get_state(0, &untouched));
  EXPECT_EQ(0u, untouched.frames) << "the other unit was not used";
}

// Last: the id added stays for the rest of the process.
TEST_F(UsbBridge, SetVidPidAddsABridgeToTheList) {
  BridgeConfig other;
  other.vendor = 0x0403;
  other.product = 0x6015;
  AddUnit(other);
  DWORD count = 9;
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 0u);
  ASSERT_EQ(FT_SetVIDPID(0x0403, 0x6015), FT_OK);
  ASSERT_EQ(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 1u);
}

}  // namespace

int main(int argc, char **argv) {
  usbtest::RunUnderPreload(argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
