// How a result code is made: the number of the function that returns it in
// the high byte, its reason in the low byte.
#ifndef TAVOCTL_CODES_CODES_H
#define TAVOCTL_CODES_CODES_H

#include <cstdint>

#include "tavoctl.h"

constexpr uint16_t Code(uint8_t function, uint8_t reason) {
  return static_cast<uint16_t>((function << 8) | reason);
}

// A refresh that failed with -n, as the code base + n.
inline uint16_t RefreshCode(uint8_t function, uint8_t base, int result) {
  return Code(function, static_cast<uint8_t>(base + -result));
}

#endif  // TAVOCTL_CODES_CODES_H
