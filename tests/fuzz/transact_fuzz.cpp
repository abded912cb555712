// Fuzz target: one frame exchange. The input chooses the command, whether a
// count and a buffer are given, the payload, which driver calls fail (and
// with what status), how many bytes each read may hand out, and every byte
// the unit sends back. The result, the frame on the wire, the sizes asked
// of each read, the caller's buffer and count and the last driver status
// are compared with what the frame protocol says the exchange must give.
// The caller's buffer is exactly 256 bytes on the heap: a write past it is
// an AddressSanitizer report.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_d2xx.h"
#include "link/link.h"

namespace {

using fuzzd2xx::Call;
using fuzzd2xx::Dev;

[[noreturn]] void Fail(const char *what, long got, long want) {
  std::fprintf(stderr, "transact_fuzz: %s: got %ld, want %ld\n", what, got,
               want);
  std::abort();
}

void Expect(long got, long want, const char *what) {
  if (got != want) Fail(what, got, want);
}

// How each driver call of the exchange goes, decided by the input.
struct Script {
  FT_STATUS purge = FT_OK, write = FT_OK, reads[3] = {FT_OK, FT_OK, FT_OK};
  uint32_t caps[3] = {~0u, ~0u, ~0u};  // bytes each read may hand out
  int readsMade = 0;
  std::vector<uint32_t> wants;  // sizes asked of the reads
};
Script script;

FT_STATUS StatusOf(Call call) {
  switch (call) {
    case Call::Purge:
      return script.purge;
    case Call::Write:
      return script.write;
    case Call::Read:
      return script.readsMade < 3 ? script.reads[script.readsMade++] : FT_OK;
    default:
      return FT_OK;
  }
}

uint32_t Deliver(uint32_t want) {
  script.wants.push_back(want);
  size_t i = script.wants.size() - 1;
  return i < 3 ? script.caps[i] : ~0u;
}

FT_STATUS FailureStatus(FuzzedDataProvider &in) {
  uint8_t s = in.ConsumeIntegral<uint8_t>();
  return s == 0 ? FT_IO_ERROR : FT_STATUS{s};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t command = in.ConsumeIntegral<uint8_t>();
  const bool giveCount = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const bool giveBuffer = in.ConsumeIntegralInRange<int>(0, 7) != 0;
  const uint32_t countIn = in.ConsumeIntegralInRange<uint32_t>(0, 260);
  const uint8_t faults = in.ConsumeIntegral<uint8_t>();
  script = Script{};
  // Each call fails for one value in eight of its fault bits' pattern, so
  // that most exchanges get through to the reply.
  if ((faults & 0x07) == 0x07) script.purge = FailureStatus(in);
  if ((faults & 0x38) == 0x38) script.write = FailureStatus(in);
  for (int i = 0; i < 3; ++i) {
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
      script.reads[i] = FailureStatus(in);
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
      script.caps[i] = in.ConsumeIntegralInRange<uint32_t>(0, 257);
  }
  std::vector<uint8_t> payload =
      in.ConsumeBytes<uint8_t>(countIn < 251 ? countIn : 251);
  const std::vector<uint8_t> reply = in.ConsumeRemainingBytes<uint8_t>();

  // The caller's buffer: the payload, then a pattern to see what is written.
  std::unique_ptr<uint8_t[]> storage(new uint8_t[kFrameSize]);
  auto *buffer = reinterpret_cast<FrameBuf *>(storage.get());
  for (uint32_t i = 0; i < kFrameSize; ++i)
    (*buffer)[i] = i < payload.size() ? payload[i] : static_cast<uint8_t>(i);
  uint8_t before[kFrameSize];
  std::memcpy(before, *buffer, kFrameSize);
  uint32_t count = countIn;

  auto &d = Dev();
  d.Clear();
  d.status = StatusOf;
  d.deliver = Deliver;
  Unit.DriverHandle = reinterpret_cast<FT_HANDLE>(&d);
  // The exchange purges the receive queue before it writes: the reply must
  // arrive after the write.
  static std::vector<uint8_t> pending;
  pending = reply;
  d.answer = [](const uint8_t *, uint32_t) {
    Dev().Push(pending.data(), pending.size());
  };

  int result = Transact(command, giveCount ? &count : nullptr,
                        giveBuffer ? buffer : nullptr);

  // ---- what the protocol says
  // The request: command, complement, and a payload only when both the
  // count and the buffer are given and the count is not 0.
  std::vector<uint8_t> frame = {command, static_cast<uint8_t>(~command)};
  if (giveCount && giveBuffer && countIn != 0) {
    uint32_t n = countIn > 251 ? 251 : countIn;
    uint8_t check = static_cast<uint8_t>(n);
    frame.push_back(static_cast<uint8_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
      frame.push_back(before[i]);
      check ^= before[i];
    }
    frame.push_back(check);
  }

  int want;
  FT_STATUS lastStatus = FT_OK;
  std::vector<uint32_t> wants;
  uint8_t expected[kFrameSize];
  std::memcpy(expected, before, kFrameSize);
  uint32_t expectedCount = countIn;
  size_t at = 0;  // next reply byte
  // Bytes a read hands out: what is there, at most what it asked and what
  // the script lets through.
  auto read = [&](int i, uint32_t size) -> uint32_t {
    wants.push_back(size);
    uint32_t there = static_cast<uint32_t>(reply.size() - at);
    uint32_t n = size < there ? size : there;
    if (script.caps[i] < n) n = script.caps[i];
    at += n;
    return n;
  };
  do {
    if (script.purge != FT_OK) {
      want = -1, lastStatus = script.purge;
      break;
    }
    if (script.write != FT_OK) {
      want = -2, lastStatus = script.write;
      break;
    }
    if (script.reads[0] != FT_OK) {
      want = -3, lastStatus = script.reads[0];
      break;
    }
    wants.push_back(1);
    if (reply.empty() || (script.caps[0] < 1)) {
      want = -4;
      break;
    }
    at = 1;
    const uint8_t status = reply[0];
    const bool readCommand =
        (command & 7) == 1 || command == 0xF6 || command == 0xF7;
    const bool carries =
        status == 0x33 || (readCommand ? status == 0x11 : status == 0x22);
    if (!carries) {
      want = status;
      break;
    }
    if (script.reads[1] != FT_OK) {
      want = -5, lastStatus = script.reads[1];
      break;
    }
    if (read(1, 1) < 1) {
      want = -6;
      break;
    }
    const uint8_t length = reply[1];
    if (script.reads[2] != FT_OK) {
      want = -7, lastStatus = script.reads[2];
      break;
    }
    if (read(2, length + 1u) < length + 1u) {
      want = -8;
      break;
    }
    if (!giveCount || !giveBuffer) {
      want = status;
      break;
    }
    uint8_t check = length;
    size_t to = 0;
    if (status == 0x22) expected[to++] = length;
    for (uint32_t i = 0; i < length; ++i) {
      expected[to++] = reply[2 + i];
      check ^= reply[2 + i];
    }
    expectedCount = static_cast<uint32_t>(to);
    want = check == reply[2 + length] ? status : -9;
  } while (false);

  // ---- compare
  Expect(result, want, "result");
  Expect(static_cast<long>(Unit.LastDriverStatus),
         static_cast<long>(lastStatus), "last driver status");
  if (script.purge == FT_OK) {
    Expect(static_cast<long>(d.frames.size()), script.write == FT_OK ? 1 : 0,
           "frames written");
    if (!d.frames.empty() && d.frames[0] != frame)
      Fail("frame on the wire differs, size",
           static_cast<long>(d.frames[0].size()),
           static_cast<long>(frame.size()));
  }
  Expect(static_cast<long>(script.wants.size()),
         static_cast<long>(wants.size()), "reads that reached the unit");
  for (size_t i = 0; i < wants.size() && i < script.wants.size(); ++i)
    Expect(script.wants[i], wants[i], "size asked of a read");
  if (giveCount) Expect(count, expectedCount, "count");
  for (uint32_t i = 0; i < kFrameSize; ++i)
    Expect((*buffer)[i], expected[i], "caller's buffer byte");
  return 0;
}
