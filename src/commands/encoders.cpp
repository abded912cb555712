// The encoders: each builds one command's payload, sends it and reduces the
// reply to 0 (the unit answered StAck) or -1 (anything else, including a
// failed exchange). None reads or changes any state of the library.
#include <cstring>

#include "commands/commands.h"
#include "link/link.h"

namespace {

// The hellos are tried twice: a unit that has just powered up may miss the
// first frame. A second try follows at once, with no pause of its own.
int Hello(uint8_t command) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (Transact(command, nullptr, nullptr) == StAck) return 0;
  }
  return -1;
}

int Accepted(int result) { return result == StAck ? 0 : -1; }

int BoardWrite(const uint8_t *payload, uint32_t length) {
  return Accepted(SendPayload(CmdBoardWrite, payload, length));
}

int SystemAction(uint8_t action) {
  const uint8_t payload[2] = {SubSystem, action};
  return BoardWrite(payload, sizeof payload);
}

}  // namespace

uint8_t ToBcd(uint32_t value) {
  return static_cast<uint8_t>(((value / 10) % 10) * 16 + value % 10);
}

void BuildClockPayload(const LocalTime &time, uint8_t out[8]) {
  uint32_t year = static_cast<uint32_t>(time.year);
  out[0] = SubClock;
  out[1] = static_cast<uint8_t>(((year / 1000) % 10) * 16 + (year / 100) % 10);
  out[2] = ToBcd(year % 100);
  out[3] = ToBcd(static_cast<uint32_t>(time.month));
  out[4] = ToBcd(static_cast<uint32_t>(time.day));
  out[5] = ToBcd(static_cast<uint32_t>(time.hour));
  out[6] = ToBcd(static_cast<uint32_t>(time.minute));
  out[7] = ToBcd(static_cast<uint32_t>(time.second));
}

// The coin payout amount in BCD, least significant pair first; the top byte
// is the ten-thousands digit (0-6), the same as a number or in BCD.
void BuildCoinPayoutPayload(uint16_t amount, uint8_t out[4]) {
  out[0] = CoinSelPayout;
  out[1] = ToBcd(amount % 100u);
  out[2] = ToBcd((amount / 100u) % 100u);
  out[3] = static_cast<uint8_t>(amount / 10000u);
}

// The note unit takes a single decimal digit of note count, in the high
// nibble of the third byte; callers never ask it for more than nine notes.
void BuildBillPayoutPayload(uint8_t count, uint8_t out[5]) {
  out[0] = BillSelPayout;
  out[1] = 0;
  out[2] = static_cast<uint8_t>((count % 10u) << 4);
  out[3] = 0;
  out[4] = 0;
}

Delivery LastDelivery() { return Unit.LastDelivery; }

int SendPayload(uint8_t command, const uint8_t *payload, uint32_t length) {
  // The frame goes out of a whole 256-byte buffer, so that an unexpected
  // reply body lands there and never past the caller's short payload.
  FrameBuf frame = {};
  if (length > kMaxPayload) length = kMaxPayload;
  if (length > 0) std::memcpy(frame, payload, length);
  uint32_t count = length;
  int result = Transact(command, &count, &frame);
  if (result == StAck) {
    Unit.LastDelivery = Delivery::Accepted;
  } else if (result == -1 || result == StNone) {
    Unit.LastDelivery = Delivery::NotSent;  // purge failed: nothing was written
  } else {
    Unit.LastDelivery = Delivery::Unconfirmed;
  }
  return result;
}

int BoardHello() { return Hello(CmdBoardHello); }
int CoinHello() { return Hello(CmdCoinHello); }
int BillHello() { return Hello(CmdBillHello); }

// A board that accepts the reset answers StReset and restarts at once. The
// same frame, sent again, must then find it deaf: no status byte within the
// read time-out. Any reply, or a driver failure, means the board did not go
// into its reset.
int BoardReset() {
  FrameBuf frame = {SubSystem, SystemReset};
  uint32_t count = 2;
  if (Transact(CmdBoardWrite, &count, &frame) != StReset) return -1;
  return Transact(CmdBoardWrite, &count, &frame) == -4 ? 0 : -1;
}

int BoardClearBackup() { return SystemAction(SystemClearBackup); }
int BoardStop() { return SystemAction(SystemStop); }
int BoardStart() { return SystemAction(SystemStart); }

int BoardClock() {
  LocalTime now{};
  OsLocalTime(&now);
  uint8_t payload[8];
  BuildClockPayload(now, payload);
  return BoardWrite(payload, sizeof payload);
}

int CoinCtrl(uint8_t value) {
  const uint8_t payload[2] = {CoinSelControl, value};
  return Accepted(SendPayload(CmdCoinCtrl, payload, sizeof payload));
}

int BillCtrl(uint8_t value) {
  const uint8_t payload[3] = {BillSelControl, value, 0x00};
  return Accepted(SendPayload(CmdBillCtrl, payload, sizeof payload));
}

int CoinPayout(uint16_t amount) {
  uint8_t payload[4];
  BuildCoinPayoutPayload(amount, payload);
  return Accepted(SendPayload(CmdCoinCtrl, payload, sizeof payload));
}

int BillPayout(uint8_t count) {
  uint8_t payload[5];
  BuildBillPayoutPayload(count, payload);
  return Accepted(SendPayload(CmdBillCtrl, payload, sizeof payload));
}

int Send7Seg(const uint8_t dotsAndDigits[5]) {
  uint8_t payload[6] = {Sub7Seg, 0, 0, 0, 0, 0};
  std::memcpy(payload + 1, dotsAndDigits, 5);
  return BoardWrite(payload, sizeof payload);
}

int SendBuzzer(const uint8_t *pattern, uint8_t count) {
  uint8_t payload[1 + kMaxBuzzerPattern] = {SubBuzzer};
  uint32_t n = count < kMaxBuzzerPattern ? count : kMaxBuzzerPattern;
  if (pattern == nullptr) n = 0;
  if (n > 0) std::memcpy(payload + 1, pattern, n);
  return BoardWrite(payload, 1 + n);
}

int SendOutputPort(uint8_t value) {
  const uint8_t payload[2] = {SubOutputPort, value};
  return BoardWrite(payload, sizeof payload);
}

int SendCounter(uint8_t selector, uint8_t value) {
  const uint8_t payload[3] = {SubCounter, selector, value};
  return BoardWrite(payload, sizeof payload);
}
