// Writes fuzz inputs that FuzzedDataProvider reads back as chosen values:
// byte strings from the front of the input, integers from its end, the
// first byte taken the most significant. Used to record seed corpora.
#ifndef TAVOCTL_TESTS_FUZZ_SEED_WRITER_H
#define TAVOCTL_TESTS_FUZZ_SEED_WRITER_H

#include <cstdint>
#include <vector>

class SeedWriter {
 public:
  // What ConsumeBytes / ConsumeRemainingBytes will return.
  void Bytes(const std::vector<uint8_t> &bytes) {
    front_.insert(front_.end(), bytes.begin(), bytes.end());
  }
  // What ConsumeIntegralInRange(min, min + range) will return as min + v.
  // It takes one byte from the end for each 8 bits the range needs.
  void Int(uint64_t v, uint64_t range) {
    int n = 0;
    for (uint64_t r = range; r > 0 && n < 8; r >>= 8) ++n;
    for (int i = n - 1; i >= 0; --i)
      back_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> Data() const {
    std::vector<uint8_t> out = front_;
    out.insert(out.end(), back_.rbegin(), back_.rend());
    return out;
  }

 private:
  std::vector<uint8_t> front_;
  std::vector<uint8_t> back_;  // in the order they are consumed
};

#endif  // TAVOCTL_TESTS_FUZZ_SEED_WRITER_H
