// The unit's protocol: the command codes and their payload bytes, the reply
// statuses and the frame sizes. The link frames them, the encoders build
// them and the refresh reads the replies; none of those owns them.
#ifndef TAVOCTL_PROTOCOL_PROTOCOL_H
#define TAVOCTL_PROTOCOL_PROTOCOL_H

#include <cstdint>

// Command codes. The low three bits give the kind (0 hello, 1 read, 2 poll,
// 3 control or write); the rest the addressee: 0xF0-0xF3 the board,
// 0x60-0x63 the coin unit, 0x58-0x5B the note unit. 0xF6 and 0xF7 read the
// board's backup memory.
enum : uint8_t {
  CmdBoardHello = 0xF0,
  CmdBoardRead = 0xF1,
  CmdBoardPoll = 0xF2,
  CmdBoardWrite = 0xF3,
  CmdBackupCoin = 0xF6,
  CmdBackupBill = 0xF7,
  CmdCoinHello = 0x60,
  CmdCoinRead = 0x61,
  CmdCoinPoll = 0x62,
  CmdCoinCtrl = 0x63,
  CmdBillHello = 0x58,
  CmdBillRead = 0x59,
  CmdBillPoll = 0x5A,
  CmdBillCtrl = 0x5B,
};

// CmdBoardWrite sub-commands: the first payload byte.
enum : uint8_t {
  SubSystem = 0x70,
  SubOutputPort = 0x71,
  SubCounter = 0x72,
  SubClock = 0x73,
  Sub7Seg = 0x74,
  SubBuzzer = 0x75,
};

// SubSystem actions.
enum : uint8_t {
  SystemReset = 0x80,
  SystemClearBackup = 0x40,
  SystemStart = 0x01,
  SystemStop = 0x02,
};

// Control values of CoinCtrl and BillCtrl.
enum : uint8_t {
  CoinInhibit = 0x00,
  CoinEnable = 0x01,
  CoinSettle = 0x02,
  BillInhibit = 0x20,
  BillEnable = 0x21,
  BillSettle = 0x02,
};

// Payload selectors of CmdCoinCtrl and CmdBillCtrl.
enum : uint8_t {
  CoinSelControl = 0x00,
  CoinSelPayout = 0x01,
  BillSelControl = 0x10,
  BillSelPayout = 0x11,
};

// SubCounter selectors used by the library.
constexpr uint8_t CounterNotes = 0x00;   // counter 0: notes taken in
constexpr uint8_t CounterAmount = 0x80;  // flag: a 15-bit charged amount

constexpr uint32_t kMaxBuzzerPattern = 32;

// Reply statuses.
constexpr int StAck = 0x11;
constexpr int StItem = 0x22;
constexpr int StList = 0x33;
constexpr int StReset = 0xBB;
constexpr int StNone = 0xEE;

// Every frame buffer is 256 bytes: the longest request is 255 bytes and the
// longest reply delivered to a caller is 256 (an item with its length byte).
constexpr uint32_t kFrameSize = 256;
using FrameBuf = uint8_t[kFrameSize];
constexpr uint32_t kMaxPayload = 251;

// What became of the last command the encoders sent, for the callers
// that must know whether a command that was not acknowledged may still have
// been carried out (a charge, a payout, a settle). A unit carries a command
// out before it answers, so a frame that went out and drew no readable
// answer (a time-out, a cut or garbled reply, a status the unit does not
// send) may well have been acted on. Only a frame that never left (the
// purge failed, so nothing was written) or that drew the unit's clear "no
// such unit" (StNone) was certainly not.
enum class Delivery { Accepted, NotSent, Unconfirmed };

#endif  // TAVOCTL_PROTOCOL_PROTOCOL_H
