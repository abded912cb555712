// How a result code is made: the number of the function that returns it in
// the high byte, its reason in the low byte. The reasons have the names the
// table of result codes gives them (reasons.h, generated from it); those the
// public header names as well must be the same bytes.
#ifndef TAVOCTL_CODES_CODES_H
#define TAVOCTL_CODES_CODES_H

#include <cstdint>

#include "reasons.h"
#include "tavoctl.h"

constexpr uint16_t Code(uint8_t function, uint8_t reason) {
  return static_cast<uint16_t>((function << 8) | reason);
}

// A refresh that failed with -n, as the code base + n.
inline uint16_t RefreshCode(uint8_t function, uint8_t base, int result) {
  return Code(function, static_cast<uint8_t>(base + -result));
}

static_assert(Reason::NotOpen == TAVO_REASON_NOT_OPEN &&
                  Reason::WrongHandle == TAVO_REASON_WRONG_HANDLE &&
                  Reason::NoTrade == TAVO_REASON_NO_TRADE &&
                  Reason::Pending == TAVO_REASON_PENDING &&
                  Reason::Paying == TAVO_REASON_PAYING &&
                  Reason::Reopen == TAVO_REASON_REOPEN &&
                  Reason::RefreshFailed == TAVO_REASON_REFRESH &&
                  Reason::BadArgument == TAVO_REASON_BAD_ARGUMENT,
              "the table of result codes and the public header disagree");

#endif  // TAVOCTL_CODES_CODES_H
