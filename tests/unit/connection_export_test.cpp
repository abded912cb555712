// Opening, closing, resetting the unit and clearing its backup memory,
// through the exports, against the scripted unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "api/frame.h"
#include "link/link.h"
#include "sale_fixture.h"
#include "state/state.h"

namespace {

using fake::Bytes;
using fake::Fn;
using sale::BillCtrl;
using sale::BoardWrite;
using sale::CoinCtrl;
using sale::Frame;
using sale::kAck;
using sale::kNone;
using sale::kSilence;

const Bytes kStop = BoardWrite({0x70, 0x02});
const Bytes kReset = BoardWrite({0x70, 0x80});
const Bytes kClearBackup = BoardWrite({0x70, 0x40});
constexpr uint32_t kUntouched = 0xDEADBEEF;

class ConnectionExport : public sale::SaleTest {
 protected:
  // Index in the driver calls of the last write and of the last close.
  int LastIndexOf(Fn fn) const {
    for (int i = static_cast<int>(d.calls.size()) - 1; i >= 0; --i) {
      if (d.calls[static_cast<size_t>(i)].fn == fn) return i;
    }
    return -1;
  }

  // The unit was stopped and its port closed after the last exchange.
  void ExpectStoppedAndClosed() {
    ASSERT_FALSE(d.frames.empty());
    EXPECT_EQ(d.frames.back(), kStop);
    EXPECT_GT(LastIndexOf(Fn::Close), LastIndexOf(Fn::Write));
    EXPECT_EQ(d.OpenHandles(), 0);
    EXPECT_EQ(Unit.DeviceHandle, 0u);
  }
};

TEST_F(ConnectionExport, OpenWritesTheStartUpSequenceInOrder) {
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  const std::vector<Bytes> expected = {
      {0xF0, 0x0F},  // hello
      {0xF1, 0x0E},  // read
      {0xF6, 0x09},  // backup
      {0xF7, 0x08},  // backup
      {0xF3, 0x0C, 0x08, 0x73, 0x20, 0x26, 0x12, 0x07, 0x02, 0x27, 0x15,
       0x58},                                                        // clock
      {0xF3, 0x0C, 0x02, 0x70, 0x01, 0x73},                          // start
      {0xF2, 0x0D},                                                  // poll
      {0xF3, 0x0C, 0x06, 0x74, 0x00, 0x80, 0x80, 0x80, 0x80, 0x72},  // display
      {0xF3, 0x0C, 0x01, 0x75, 0x74},                                // buzzer
      {0x58, 0xA7},                                                  // note
      {0x59, 0xA6},
      {0x60, 0x9F},  // coin
      {0x61, 0x9E},
      {0x5B, 0xA4, 0x03, 0x10, 0x02, 0x00, 0x11},  // note settle
      {0x63, 0x9C, 0x02, 0x00, 0x02, 0x00},        // coin settle
  };
  EXPECT_EQ(d.frames, expected);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(handle, Unit.DeviceHandle);
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(Unit.BillPending, 0x01);
  EXPECT_EQ(Unit.CoinPending, 0x01);

  // The serial number heads the board record; no trade is open.
  PcbData pcb = Board();
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(pcb.SerialNo)),
            "TV0000000000001");
  EXPECT_EQ(pcb.TradeId, 0u);
  EXPECT_EQ(pcb.AcceptLimit, 0u);
  EXPECT_EQ(pcb.Credit, 0u);
}

TEST_F(ConnectionExport, ClockFrameCarriesTheLocalTimeOfEachOpen) {
  clock.year = 1999, clock.month = 3, clock.day = 4;
  clock.hour = 5, clock.minute = 6, clock.second = 7;
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_EQ(d.frames.at(4),
            BoardWrite({0x73, 0x19, 0x99, 0x03, 0x04, 0x05, 0x06, 0x07}));
  ASSERT_EQ(TAVO_Close(handle), 0u);

  clock.year = 2031, clock.month = 11, clock.day = 30;
  clock.hour = 23, clock.minute = 59, clock.second = 60;
  Forget();
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_EQ(d.frames.at(4),
            BoardWrite({0x73, 0x20, 0x31, 0x11, 0x30, 0x23, 0x59, 0x60}));
}

struct OpenFailure {
  const char *name;
  std::function<void(sale::SaleTest &, fake::D2xx &, sale::UnitModel &)>
      arrange;
  uint32_t code;
  bool handleWritten;  // the caller's variable received the handle
  bool closedAgain;    // the board was stopped and the port closed again
};

class OpenFailures : public ConnectionExport,
                     public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailures, EndWithTheirCodeAndLeaveNoPortOpen) {
  const OpenFailure &c = GetParam();
  c.arrange(*this, d, unit);
  handle = kUntouched;
  EXPECT_EQ(TAVO_Open(&handle), c.code);
  if (c.handleWritten) {
    EXPECT_NE(handle, kUntouched);
  } else {
    EXPECT_EQ(handle, kUntouched);
  }
  if (c.closedAgain) {
    ExpectStoppedAndClosed();
  } else if (!c.handleWritten) {
    // The search found nothing to use: nothing open, nothing sent.
    EXPECT_TRUE(d.frames.empty());
    EXPECT_EQ(d.OpenHandles(), 0);
    EXPECT_EQ(Unit.DeviceHandle, 0u);
  }
  if (Unit.DeviceHandle == 0) {
    // A later open searches for the unit again and succeeds.
    unit.ClearOverrides();
    d.Clear();
    d.responder = [this](const Bytes &f, Bytes &r) {
      return unit.Respond(f, r);
    };
    EXPECT_EQ(TAVO_Open(&handle), 0u);
    EXPECT_EQ(d.CallsOf(Fn::ListDevices).size(), 1u);
  }
}

void Refuse(sale::UnitModel &u, const Bytes &prefix) {
  u.Override(prefix, kNone);
}

INSTANTIATE_TEST_SUITE_P(
    Open, OpenFailures,
    ::testing::Values(
        OpenFailure{"NoDeviceCount",
                    [](auto &, auto &d, auto &) {
                      d.Fail(Fn::ListDevices, FT_IO_ERROR);
                    },
                    0x0112, false, false},
        OpenFailure{"NoDeviceAttached",
                    [](auto &, auto &d, auto &) { d.devices.clear(); }, 0x0113,
                    false, false},
        OpenFailure{
            "DeviceOfAnotherKind",
            [](auto &, auto &d, auto &) { d.devices[0].id = 0x04036001; },
            0x0114, false, false},
        OpenFailure{"BaudRateRefused",
                    [](auto &, auto &d, auto &) {
                      d.devices[0].failing[Fn::SetBaudRate] = FT_IO_ERROR;
                    },
                    0x0114, false, false},
        OpenFailure{
            "BoardSilent",
            [](auto &, auto &, auto &u) { u.Override({0xF0}, kSilence, 2); },
            0x0115, true, true},
        OpenFailure{
            "BoardHelloRefusedTwice",
            [](auto &, auto &, auto &u) { u.Override({0xF0}, kNone, 2); },
            0x0115, true, true},
        OpenFailure{"BoardReadRefused",
                    [](auto &, auto &, auto &u) { Refuse(u, {0xF1}); }, 0x0116,
                    true, true},
        OpenFailure{"CoinBackupAsList",
                    [](auto &, auto &, auto &u) {
                      u.Override({0xF6}, fake::Body(0x33, {}));
                    },
                    0x0116, true, true},
        OpenFailure{
            "NoteBackupSilent",
            [](auto &, auto &, auto &u) { u.Override({0xF7}, kSilence); },
            0x0116, true, true},
        OpenFailure{"ClockRefused",
                    [](auto &, auto &, auto &u) {
                      Refuse(u, {0xF3, 0x0C, 0x08, 0x73});
                    },
                    0x0116, true, true},
        OpenFailure{"StartRefused",
                    [](auto &, auto &, auto &u) {
                      Refuse(u, BoardWrite({0x70, 0x01}));
                    },
                    0x0116, true, true},
        OpenFailure{"BoardPollAnsweredAck",
                    [](auto &, auto &, auto &u) { u.Override({0xF2}, kAck); },
                    0x0116, true, true},
        OpenFailure{"NoteReadRefused",
                    [](auto &, auto &, auto &u) { Refuse(u, {0x59}); }, 0x0117,
                    true, true},
        OpenFailure{
            "CoinReadSilent",
            [](auto &, auto &, auto &u) { u.Override({0x61}, kSilence); },
            0x0117, true, true},
        OpenFailure{"NoteSettleRefused",
                    [](auto &, auto &, auto &u) { Refuse(u, BillCtrl(0x02)); },
                    0x0119, true, false},
        OpenFailure{"CoinSettleRefused",
                    [](auto &, auto &, auto &u) { Refuse(u, CoinCtrl(0x02)); },
                    0x0119, true, false}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(ConnectionExport, SettleFailureLeavesTheUnitOpen) {
  unit.Override(BillCtrl(0x02), kNone);
  ASSERT_EQ(TAVO_Open(&handle), 0x0119u);
  // The coin unit is not addressed once the note settle has failed.
  EXPECT_EQ(Count(CoinCtrl(0x02)), 0);
  EXPECT_EQ(d.OpenHandles(), 1);
  EXPECT_EQ(handle, Unit.DeviceHandle);
  EXPECT_EQ(TAVO_Close(handle), 0u);
  EXPECT_EQ(d.OpenHandles(), 0);
}

TEST_F(ConnectionExport, HandleIsWrittenBeforeTheBoardIsContacted) {
  uint32_t seen = 0;
  d.onWrite = [&](const Bytes &f) {
    if (f == Frame(0xF0)) seen = handle;
  };
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_NE(seen, 0u);
  EXPECT_EQ(seen, handle);
}

TEST_F(ConnectionExport, DisplayAndBuzzerAnswersDoNotMatter) {
  unit.Override(BoardWrite({0x74, 0x00, 0x80, 0x80, 0x80, 0x80}), kNone);
  unit.Override(BoardWrite({0x75}), kSilence);
  EXPECT_EQ(TAVO_Open(&handle), 0u);
  EXPECT_EQ(d.frames.back(), CoinCtrl(0x02));
}

TEST_F(ConnectionExport, OpenForgetsWhatTheLastSessionLeft) {
  // A session closed in the middle of a trade, with a coin payout not yet
  // reported and notes accepted.
  Open();
  unit.coin.stock[3] = 4;
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  ASSERT_EQ(TAVO_AcceptEx(handle, 5000, 2), 0u);
  unit.InsertCoins(500, 2);
  unit.coin.reportsPayout = false;
  ASSERT_EQ(TAVO_PayOut(handle, 500), 0u);
  ASSERT_EQ(Unit.CoinPending, 0x02);
  ASSERT_EQ(TAVO_7SegDot(handle, 0xFF), 0u);
  ASSERT_EQ(TAVO_Close(handle), 0u);

  // The coin unit is gone at the next open.
  unit.coin.fitted = false;
  Open();
  EXPECT_EQ(Unit.CoinPending, 0);
  EXPECT_EQ(Unit.BillPending, 0x01);  // the note unit's settle of this open
  EXPECT_EQ(Unit.NoteLimit, 0);
  EXPECT_EQ(Unit.TradeCounter, 0u);
  PcbData pcb = Board();
  EXPECT_EQ(pcb.TradeId, 0u);
  EXPECT_EQ(pcb.AcceptLimit, 0u);
  EXPECT_EQ(TAVO_TradeEnd(handle), 0x1103u);
  ASSERT_EQ(TAVO_TradeBegin(handle), 0u);
  EXPECT_EQ(Board().TradeId, 1u);
  // Nothing more goes to the coin unit: its unit id went with the last open.
  for (const Bytes &f : d.frames) EXPECT_NE(f[0] & 0xF8, 0x60);
  TavoData live = Poll();
  EXPECT_EQ(live.CoinUnitId[0], 0);
  EXPECT_EQ(live.CoinUnitId[1], 0);
  EXPECT_EQ(live.CoinIn[3], 0);
  EXPECT_EQ(Unit.SegDots, 0);
}

TEST_F(ConnectionExport, NullHandleAddressIsRefusedBeforeAnythingOpens) {
  EXPECT_EQ(TAVO_Open(nullptr), 0x0173u);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(Unit.DeviceHandle, 0u);
}

TEST_F(ConnectionExport, SecondOpenIsRefusedAndLeavesTheVariable) {
  Open();
  uint32_t second = kUntouched;
  EXPECT_EQ(TAVO_Open(&second), 0x0111u);
  EXPECT_EQ(second, kUntouched);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(d.OpenHandles(), 1);
}

TEST_F(ConnectionExport, BoardHelloAnsweredOnTheSecondTry) {
  for (const Bytes &first : {kSilence, kNone}) {
    Restart();
    unit.Override({0xF0}, first);
    ASSERT_EQ(TAVO_Open(&handle), 0u);
    EXPECT_EQ(Count({0xF0, 0x0F}), 2);
    EXPECT_EQ(d.frames.at(2), Frame(0xF1));
  }
}

TEST_F(ConnectionExport, OpensWithNeitherMoneyUnitFitted) {
  unit.coin.fitted = false;
  unit.bill.fitted = false;
  ASSERT_EQ(TAVO_Open(&handle), 0u);
  // Each hello tried twice, then nothing more to the units.
  EXPECT_EQ(Count({0x58, 0xA7}), 2);
  EXPECT_EQ(Count({0x60, 0x9F}), 2);
  for (const Bytes &f : d.frames) {
    bool toBoard = f[0] >= 0xF0;
    bool hello = f == Bytes({0x58, 0xA7}) || f == Bytes({0x60, 0x9F});
    EXPECT_TRUE(toBoard || hello) << "frame to a unit that is not fitted";
  }
  EXPECT_EQ(Unit.CoinPending, 0);
  EXPECT_EQ(Unit.BillPending, 0);
  Forget();
  TavoData live = Poll();
  const TavoData zero{};
  EXPECT_EQ(std::memcmp(&live, &zero, sizeof live), 0);
  EXPECT_EQ(d.frames, std::vector<Bytes>({sale::kBoardPoll}));
}

TEST_F(ConnectionExport, BackupReadsFillTheBackupRecord) {
  // Nothing stored: the backup record is all zero.
  Open();
  TavoData backup{};
  std::memset(&backup, 0xAA, sizeof backup);
  ASSERT_EQ(TAVO_GetBackupData(handle, &backup), 0u);
  const TavoData zero{};
  EXPECT_EQ(std::memcmp(&backup, &zero, sizeof backup), 0);

  // Stored items are decoded into the backup record, not the live one.
  Restart();
  unit.Override(
      {0xF6},
      fake::Body(0x11, fake::Concat({fake::Item(0x09, {0x12, 0x00, 0x99, 0x05}),
                                     fake::CoinStatus(0x21)})));
  unit.Override(
      {0xF7},
      fake::Body(0x11, fake::Concat({fake::Item(0x19, {0x42}),
                                     fake::BillStatus(0x10, 0x02, 0x03)})));
  Open();
  ASSERT_EQ(TAVO_GetBackupData(handle, &backup), 0u);
  EXPECT_EQ(backup.CoinStock[0], 12);
  EXPECT_EQ(backup.CoinStock[2], 99);
  EXPECT_EQ(backup.CoinStock[3], 5);
  EXPECT_EQ(backup.CoinFlags, 0x21u);
  EXPECT_EQ(backup.BillStock, 42);
  EXPECT_EQ(backup.BillFlags, 0x030210u);
  EXPECT_EQ(Unit.LiveRecord.CoinStock[0], 0);
  EXPECT_EQ(Unit.LiveRecord.BillStock, 0);

  // The next open reads the backup again, and finds nothing stored.
  ASSERT_EQ(TAVO_Close(handle), 0u);
  Open();
  ASSERT_EQ(TAVO_GetBackupData(handle, &backup), 0u);
  EXPECT_EQ(std::memcmp(&backup, &zero, sizeof backup), 0);
}

TEST_F(ConnectionExport, HandleOfAnEarlierOpenIsRefused) {
  if (sizeof(void *) < 8)
    GTEST_SKIP() << "the driver handle itself is handed out";
  Open();
  uint32_t first = handle;
  ASSERT_EQ(TAVO_Close(handle), 0u);
  Open();
  EXPECT_NE(handle, first);
  PcbData pcb{};
  EXPECT_EQ(TAVO_GetPCBData(first, &pcb), 0x0502u);
  EXPECT_EQ(TAVO_GetPCBData(handle, &pcb), 0x0000u);
}

TEST_F(ConnectionExport, CloseStopsTheBoardThenClosesWhateverTheHandle) {
  struct Case {
    const char *name;
    bool stopRefused;
    uint32_t offset;  // added to the open unit's handle
  };
  for (const Case &c :
       {Case{"right handle", false, 0}, Case{"wrong handle", false, 7},
        Case{"stop refused", true, 0}}) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    if (c.stopRefused) unit.Override(kStop, kNone);
    EXPECT_EQ(TAVO_Close(handle + c.offset), 0u);
    EXPECT_EQ(d.frames, std::vector<Bytes>({kStop}));
    ExpectStoppedAndClosed();
    PcbData pcb{};
    EXPECT_EQ(TAVO_GetPCBData(handle, &pcb), 0x0501u);
  }
}

TEST_F(ConnectionExport, CloseWithNoUnitOpen) {
  for (uint32_t h : {0u, 1u, 0xFFFFFFFFu}) {
    EXPECT_EQ(TAVO_Close(h), 0x0201u);
  }
  EXPECT_TRUE(d.calls.empty());
}

TEST_F(ConnectionExport, ResetOutcomes) {
  struct Case {
    const char *name;
    std::function<void(sale::UnitModel &, fake::D2xx &)> arrange;
    uint32_t code;
    int resetFrames;
  };
  const Bytes kResetAck = fake::Status(0xBB);
  const Case cases[] = {
      {"reset, then silence",
       [&](auto &u, auto &) {
         u.Override(kReset, kResetAck);
         u.Override(kReset, kSilence);
       },
       0x0000, 2},
      {"stop refused", [](auto &u, auto &) { u.Override(kStop, kNone); },
       0x0421, 0},
      {"stop silent", [](auto &u, auto &) { u.Override(kStop, kSilence); },
       0x0421, 0},
      {"reset answered StAck",
       [](auto &u, auto &) { u.Override(kReset, kAck); }, 0x0422, 1},
      {"reset silent", [](auto &u, auto &) { u.Override(kReset, kSilence); },
       0x0422, 1},
      {"second reset answered again",
       [&](auto &u, auto &) { u.Override(kReset, kResetAck, 2); }, 0x0422, 2},
      {"second reset answered StAck",
       [&](auto &u, auto &) {
         u.Override(kReset, kResetAck);
         u.Override(kReset, kAck);
       },
       0x0422, 2},
      {"second reset not written",
       [&](auto &u, auto &dev) {
         u.Override(kReset, kResetAck);
         u.Override(kReset, kSilence);
         dev.onWrite = [&dev](const Bytes &f) {
           if (f == kReset) dev.Fail(Fn::Write, FT_IO_ERROR);
         };
       },
       0x0422, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Open();
    c.arrange(unit, d);
    EXPECT_EQ(TAVO_Reset(handle), c.code);
    d.onWrite = nullptr;
    ASSERT_FALSE(d.frames.empty());
    EXPECT_EQ(d.frames.front(), kStop);
    EXPECT_EQ(Count(kReset), c.resetFrames);
    EXPECT_EQ(d.frames.size(), 1u + static_cast<size_t>(c.resetFrames));
    if (c.code == 0) {
      EXPECT_EQ(d.OpenHandles(), 0);
      EXPECT_EQ(Unit.DeviceHandle, 0u);
      EXPECT_GT(LastIndexOf(Fn::Close), LastIndexOf(Fn::Write));
      EXPECT_EQ(TAVO_Reset(handle), 0x0401u);
    } else {
      EXPECT_EQ(d.OpenHandles(), 1);
      EXPECT_EQ(Unit.DeviceHandle, handle);
      EXPECT_TRUE(d.CallsOf(Fn::Close).empty());
    }
  }
}

TEST_F(ConnectionExport, ResetChecksTheHandle) {
  EXPECT_EQ(TAVO_Reset(0), 0x0401u);
  Open();
  EXPECT_EQ(TAVO_Reset(handle + 1), 0x0402u);
  EXPECT_TRUE(d.frames.empty());
  EXPECT_EQ(d.OpenHandles(), 1);
}

TEST_F(ConnectionExport, ClearBackupCodesCarryTheOpenNumber) {
  EXPECT_EQ(TAVO_ClearBackup(0), 0x0101u);
  Open();
  EXPECT_EQ(TAVO_ClearBackup(handle + 1), 0x0102u);
  EXPECT_TRUE(d.frames.empty());

  unit.Override(kClearBackup, kNone);
  EXPECT_EQ(TAVO_ClearBackup(handle), 0x0122u);
  EXPECT_EQ(d.frames, std::vector<Bytes>({kClearBackup}));

  Forget();
  unit.Override({0xF1}, fake::Body(0x33, {}), 1);
  unit.Override({0xF1}, kNone);
  EXPECT_EQ(TAVO_ClearBackup(handle), 0x0000u);
  EXPECT_EQ(TAVO_ClearBackup(handle), 0x0123u);
  EXPECT_EQ(d.frames, std::vector<Bytes>({kClearBackup, Frame(0xF1),
                                          kClearBackup, Frame(0xF1)}));
  EXPECT_EQ(d.OpenHandles(), 1);
}

TEST_F(ConnectionExport, ClearBackupRereadsTheBoardButNotTheBackup) {
  unit.Override({0xF6},
                fake::Body(0x11, fake::Item(0x09, {0x01, 0x02, 0x03, 0x04})));
  Open();
  TavoData before{};
  ASSERT_EQ(TAVO_GetBackupData(handle, &before), 0u);

  Bytes text(127, 'x');
  unit.Override({0xF1}, fake::Body(0x33, fake::Item(0x7D, text)));
  ASSERT_EQ(TAVO_ClearBackup(handle), 0u);
  EXPECT_EQ(Unit.PcbRecord.BoardText[0], 'x');
  EXPECT_EQ(Unit.PcbRecord.BoardText[126], 'x');
  EXPECT_EQ(Unit.PcbRecord.BoardText[127], 0);

  TavoData after{};
  ASSERT_EQ(TAVO_GetBackupData(handle, &after), 0u);
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
  EXPECT_EQ(after.CoinStock[3], 4);
}

TEST_F(ConnectionExport, ClearBackupKeepsTheTradeAndTheSerialNumber) {
  OpenTrade();
  unit.coin.stock[3] = 4;
  ASSERT_EQ(TAVO_AcceptEx(handle, 2000, 3), 0u);
  unit.InsertCoins(500, 1);
  Poll();
  unit.Override({0xF1}, fake::Body(0x33, fake::Item(0x7D, Bytes(127, 'y'))));
  ASSERT_EQ(TAVO_ClearBackup(handle), 0u);
  EXPECT_EQ(Unit.PcbRecord.BoardText[0], 'y');
  EXPECT_EQ(Unit.PcbRecord.TradeId, 1u);
  EXPECT_EQ(Unit.PcbRecord.AcceptLimit, 2000u);
  EXPECT_EQ(Unit.PcbRecord.Credit, 500u);
  EXPECT_EQ(
      std::string(reinterpret_cast<const char *>(Unit.PcbRecord.SerialNo)),
      "TV0000000000001");
}

TEST_F(ConnectionExport, ClearBackupRunsAsFunctionThree) {
  Open();
  uint32_t nested = 0;
  d.onWrite = [&](const Bytes &f) {
    if (f == kClearBackup) {
      PcbData pcb{};
      nested = TAVO_GetPCBData(handle, &pcb);
    }
  };
  EXPECT_EQ(TAVO_ClearBackup(handle), 0u);
  EXPECT_EQ(nested, 0x0003u);
}

}  // namespace
