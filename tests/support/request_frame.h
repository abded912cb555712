// A request frame as the library writes it: command, its complement, and
// for a payload the length, the bytes and the check byte (the length XOR
// every payload byte). Tests build the frames they expect with this.
#ifndef TAVOCTL_TESTS_REQUEST_FRAME_H
#define TAVOCTL_TESTS_REQUEST_FRAME_H

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> Frame(uint8_t command,
                                  const std::vector<uint8_t> &payload = {}) {
  std::vector<uint8_t> f{command, static_cast<uint8_t>(~command)};
  if (payload.empty()) return f;
  uint8_t check = static_cast<uint8_t>(payload.size());
  f.push_back(check);
  for (uint8_t b : payload) {
    f.push_back(b);
    check ^= b;
  }
  f.push_back(check);
  return f;
}

#endif
