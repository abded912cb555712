// The display, buzzer, output port and user counters. Thin exports: each
// checks its arguments and sends one board command. They work whenever a
// unit is open, inside a trade or outside one.
#include <cstring>

#include "api/frame.h"
#include "commands/commands.h"

namespace {

// Every display command carries the dot mask and all four digits at once,
// so the library remembers what the display last accepted and changes only
// what the caller asked for. The memory changes only once the board has
// acknowledged.
uint16_t ShowOnDisplay(uint8_t fn, uint8_t dots, const uint8_t digits[4]) {
  const uint8_t frame[5] = {dots, digits[0], digits[1], digits[2], digits[3]};
  if (Send7Seg(frame) != 0) return Code(fn, Reason::BoardRefused);
  Unit.SegDots = dots;
  std::memcpy(Unit.SegDigits, digits, sizeof Unit.SegDigits);
  return TAVO_OK;
}

// The four digit codes of `value` in a display mode; false for an unknown
// mode. Modes 0 and 1 show hexadecimal nibbles, 2 and 3 the decimal digits
// of value mod 10000. Modes 1 and 3 blank leading zeros; mode 1 blanks a
// zero value entirely, mode 3 always keeps the last digit.
bool DigitsFor(uint8_t mode, uint16_t value, uint8_t d[4]) {
  switch (mode) {
    case 0:
    case 1:
      for (int i = 0; i < 4; ++i)
        d[i] = static_cast<uint8_t>((value >> (12 - 4 * i)) & 0x0F);
      break;
    case 2:
    case 3: {
      uint32_t v = value % 10000u;
      d[0] = static_cast<uint8_t>(v / 1000);
      d[1] = static_cast<uint8_t>(v / 100 % 10);
      d[2] = static_cast<uint8_t>(v / 10 % 10);
      d[3] = static_cast<uint8_t>(v % 10);
      break;
    }
    default:
      return false;
  }
  if (mode == 1 || mode == 3) {
    // In mode 3 a value of 10000 or more keeps its leading zeros: they are
    // real digits of the number.
    int last = mode == 1 ? 3 : 2;
    if (d[0] == 0 && (mode == 1 || value < 10000)) d[0] = kBlankDigit;
    for (int i = 1; i <= last; ++i) {
      if (d[i] == 0 && d[i - 1] == kBlankDigit) d[i] = kBlankDigit;
    }
  }
  return true;
}

}  // namespace

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_7SegDot(uint32_t handle,
                                                    uint32_t dots) {
  constexpr uint8_t fn = TAVO_FN_7SEGDOT;
  return RunExport(fn, handle, [&]() {
    return ShowOnDisplay(fn, static_cast<uint8_t>(dots), Unit.SegDigits);
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_7SegNum(uint32_t handle,
                                                    uint32_t mode,
                                                    uint32_t value) {
  constexpr uint8_t fn = TAVO_FN_7SEGNUM;
  return RunExport(fn, handle, [&]() -> uint16_t {
    uint8_t digits[4];
    if (!DigitsFor(static_cast<uint8_t>(mode), static_cast<uint16_t>(value),
                   digits)) {
      return Code(fn, Reason::BadArgument);
    }
    return ShowOnDisplay(fn, Unit.SegDots, digits);
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_7SegPtn(uint32_t handle,
                                                    const uint8_t *patterns) {
  constexpr uint8_t fn = TAVO_FN_7SEGPTN;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (patterns == nullptr) return Code(fn, Reason::BadArgument);
    // Bit 7 marks a digit code as a raw segment pattern.
    uint8_t digits[4];
    for (int i = 0; i < 4; ++i)
      digits[i] = static_cast<uint8_t>(patterns[i] | 0x80);
    return ShowOnDisplay(fn, Unit.SegDots, digits);
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_BuzzCtrl(uint32_t handle,
                                                     uint32_t count,
                                                     const uint8_t *pattern) {
  constexpr uint8_t fn = TAVO_FN_BUZZCTRL;
  return RunExport(fn, handle, [&]() -> uint16_t {
    uint8_t limit = static_cast<uint8_t>(count);
    if (pattern == nullptr && limit > 0) return Code(fn, Reason::BadArgument);
    // The pattern ends at the first 0xFF, which is not sent, at the count,
    // or after 32 bytes, whichever comes first.
    uint8_t n = 0;
    while (n < kMaxBuzzerPattern && n < limit && pattern[n] != 0xFF) ++n;
    if (SendBuzzer(pattern, n) != 0) return Code(fn, Reason::BoardRefused);
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_OutputPort(uint32_t handle,
                                                       uint32_t value) {
  constexpr uint8_t fn = TAVO_FN_OUTPUTPORT;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (SendOutputPort(static_cast<uint8_t>(value)) != 0)
      return Code(fn, Reason::BoardRefused);
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_UserCnt(uint32_t handle,
                                                    uint32_t counter,
                                                    uint32_t count) {
  constexpr uint8_t fn = TAVO_FN_USERCNT;
  return RunExport(fn, handle, [&]() -> uint16_t {
    uint8_t number = static_cast<uint8_t>(counter);
    if (number != 1 && number != 2) return Code(fn, Reason::BadArgument);
    if (SendCounter(static_cast<uint8_t>(number << 4),
                    static_cast<uint8_t>(count)) != 0) {
      return Code(fn, Reason::BoardRefused);
    }
    return TAVO_OK;
  });
}
