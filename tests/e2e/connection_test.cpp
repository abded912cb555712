// Opening the unit through the exports: discovery, start-up and its
// failures, and the board's outputs read back from the virtual unit.
#include <cstring>

#include "e2e_fixture.h"

namespace {

using Connection = VirtualUnit;

vu_device_config Device(uint32_t id, const char *serial) {
  vu_device_config c;
  vu_default_config(&c);
  c.device_id = id;
  std::memset(c.serial, 0, sizeof c.serial);
  std::strncpy(c.serial, serial, sizeof c.serial);
  return c;
}

TEST_F(Connection, SecondDeviceIsTakenWhenTheFirstIsAnotherBridge) {
  vu_clear_devices();
  vu_device_config other = Device(0x04036001, "OTHER");
  vu_device_config unit = Device(0x16C91403, "UNIT1403");
  ASSERT_EQ(0, vu_add_device(&other));
  ASSERT_EQ(1, vu_add_device(&unit));
  Open();
  PcbData p = Board();
  EXPECT_EQ(0, std::memcmp(p.SerialNo, "UNIT1403", 8));
  vu_state first{};
  vu_get_state(0, &first);
  EXPECT_FALSE(first.open) << "the rejected bridge was closed again";
}

struct OpenFailure {
  const char *name;
  std::function<void()> arrange;
  uint32_t code;
};

class OpenFails : public VirtualUnit,
                  public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, WithItsCodeAndLeavesNothingOpen) {
  GetParam().arrange();
  uint32_t h = 0;
  EXPECT_CODE(GetParam().code, TAVO_Open(&h));
  for (int i = 0; i < vu_device_count(); ++i) {
    vu_state s{};
    vu_get_state(i, &s);
    EXPECT_FALSE(s.open) << "device " << i;
  }
  EXPECT_CODE(0x0201u, TAVO_Close(h));
}

vu_fault Fault(int kind, int command, int sub = -1, int value = -1,
               uint8_t status = 0) {
  return vu_fault{kind, command, sub, value, 0, -1, status};
}

INSTANTIATE_TEST_SUITE_P(
    E2e, OpenFails,
    ::testing::Values(
        OpenFailure{"ListFails", [] { vu_fail_list(4); }, 0x0112},
        OpenFailure{"NoDevice", [] { vu_clear_devices(); }, 0x0113},
        OpenFailure{"WrongId",
                    [] {
                      vu_clear_devices();
                      vu_device_config c = Device(0x04036001, "X");
                      vu_add_device(&c);
                    },
                    0x0114},
        OpenFailure{"BaudRateFails",
                    [] { vu_fail_calls(0, VU_CALL_SET_BAUD, 4); }, 0x0114},
        OpenFailure{"BoardSilent",
                    [] {
                      vu_fault f = Fault(VU_FAULT_SILENCE, 0xF0);
                      vu_add_fault(0, &f);
                    },
                    0x0115},
        OpenFailure{"BackupAnsweredWithList",
                    [] {
                      vu_fault f = Fault(VU_FAULT_STATUS, 0xF6, -1, -1, 0x33);
                      vu_add_fault(0, &f);
                    },
                    0x0116},
        OpenFailure{"BoardPollCorrupted",
                    [] {
                      vu_fault f = Fault(VU_FAULT_BAD_CHECK, 0xF2);
                      vu_add_fault(0, &f);
                    },
                    0x0116},
        OpenFailure{"CoinReadCutShort",
                    [] {
                      vu_fault f = Fault(VU_FAULT_SHORT, 0x61);
                      vu_add_fault(0, &f);
                    },
                    0x0117}),
    [](const auto &test) { return std::string(test.param.name); });

TEST_F(Connection, SettleRefusedLeavesTheUnitOpen) {
  vu_fault f = Fault(VU_FAULT_STATUS, 0x63, 0x00, 0x02, 0xEE);
  vu_add_fault(0, &f);
  uint32_t h = 0;
  EXPECT_CODE(0x0119u, TAVO_Open(&h));
  handle_ = h;
  EXPECT_TRUE(State().open);
}

TEST_F(Connection, OpensWithoutMoneyUnits) {
  vu_remove_unit(0, VU_COIN, 1);
  vu_remove_unit(0, VU_NOTE, 1);
  Open();
  TavoData t = Live();
  TavoData zero{};
  EXPECT_EQ(0, std::memcmp(&t, &zero, sizeof t));
  EXPECT_EQ(0u, State().frames_by_command[0x62]) << "no coin unit is polled";
}

TEST_F(Connection, StartUpSetsTheLineClockAndDisplay) {
  Open();
  vu_state s = State();
  EXPECT_EQ(38400u, s.baud_rate);
  EXPECT_EQ(1000u, s.read_timeout_ms);
  EXPECT_EQ(300u, s.write_timeout_ms);
  EXPECT_TRUE(s.started);
  EXPECT_EQ(0x20, s.clock[0]) << "the century of the local time";
  EXPECT_EQ(0, s.buzzer_length);
  EXPECT_EQ(1, s.buzzer_commands);
  const uint8_t blank[4] = {0x80, 0x80, 0x80, 0x80};
  EXPECT_EQ(0, std::memcmp(blank, s.digits, 4));
  Close();
  EXPECT_FALSE(State().started) << "closing stops the board";
}

TEST_F(Connection, DisplayBuzzerPortAndCountersReachTheBoard) {
  Open();
  ASSERT_CODE(0u, TAVO_7SegNum(handle_, 3, 45));
  ASSERT_CODE(0u, TAVO_7SegDot(handle_, 0x02));
  const uint8_t pattern[] = {0x10, 0x20, 0xFF, 0x30};
  ASSERT_CODE(0u, TAVO_BuzzCtrl(handle_, 4, pattern));
  ASSERT_CODE(0u, TAVO_OutputPort(handle_, 0x5A));
  ASSERT_CODE(0u, TAVO_UserCnt(handle_, 2, 3));
  ASSERT_CODE(0u, TAVO_UserCnt(handle_, 2, 4));

  vu_state s = State();
  const uint8_t digits[4] = {0x80, 0x80, 0x04, 0x05};
  EXPECT_EQ(0, std::memcmp(digits, s.digits, 4));
  EXPECT_EQ(0x02, s.dots);
  ASSERT_EQ(2, s.buzzer_length);
  EXPECT_EQ(0x20, s.buzzer[1]);
  EXPECT_EQ(0x5A, s.output_port);
  EXPECT_EQ(7u, s.meters[6]);
  // The board reports its display and port back in its block item.
  PcbData p = Board();
  EXPECT_EQ(0x02, p.BoardBlockB[0]);
  EXPECT_EQ(0x05, p.BoardBlockB[4]);
  EXPECT_EQ(0x5A, p.BoardBlockB[5]);
  EXPECT_EQ(7u, p.Meters[6]);
}

TEST_F(Connection, FailedExchangesShowInTheRefreshCodes) {
  Open();
  vu_fault board = {VU_FAULT_BAD_CHECK, 0xF2, -1, -1, 0, 1, 0};
  vu_add_fault(0, &board);
  PcbData p{};
  EXPECT_CODE(0x0534u, TAVO_GetPCBData(handle_, &p));
  EXPECT_CODE(0u, TAVO_GetPCBData(handle_, &p)) << "only once";

  vu_remove_unit(0, VU_COIN, 1);
  TavoData t{};
  EXPECT_CODE(0x0631u, TAVO_GetTAVOData(handle_, &t));
  vu_remove_unit(0, VU_COIN, 0);
  EXPECT_CODE(0u, TAVO_GetTAVOData(handle_, &t));
}

TEST_F(Connection, ResetThatDrawsAReplyFailsAndStaysOpen) {
  Open();
  // A board that acknowledges the reset but never goes into it.
  vu_fault again = {VU_FAULT_STATUS, 0xF3, 0x70, 0x80, 0, -1, 0xBB};
  vu_add_fault(0, &again);
  EXPECT_CODE(0x0422u, TAVO_Reset(handle_));
  PcbData p{};
  EXPECT_CODE(0u, TAVO_GetPCBData(handle_, &p)) << "the unit is still open";
}

}  // namespace
