// The messages between the remote provider (libtavovu-remote.so) and the
// server that hosts the virtual unit (tavovu-server), over a Unix stream
// socket. Both ends run on one machine from one build, so the fields are
// little-endian integers laid out one after the other, without padding
// (a test in another language packs them the same way).
//
//   request: u32 op, u64 handle, i64 a, i64 b, i64 c, u32 n, n bytes
//   reply:   i64 status, u64 handle, i64 a, u32 n, n bytes
//
// `status` is the FT_STATUS of a D2XX call or the int result of a vu_ call.
#ifndef TAVOVU_REMOTE_PROTOCOL_H
#define TAVOVU_REMOTE_PROTOCOL_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vuremote {

enum Op : uint32_t {
  // The D2XX calls the library makes.
  kListDevices = 1,  // a: flags, b: index; reply a: count or data
  kOpen = 2,         // a: device number; reply handle
  kClose = 3,
  kResetDevice = 4,
  kGetDeviceInfo = 5,  // reply a: type, data: u32 id, 16 serial, 64 text
  kSetBaudRate = 6,    // a: baud
  kSetDataCharacteristics = 7,  // a, b, c: word length, stop bits, parity
  kSetFlowControl = 8,          // a: flow
  kSetChars = 9,
  kSetTimeouts = 10,  // a: read, b: write
  kPurge = 11,        // a: mask
  kWrite = 12,        // data: bytes; reply a: written
  kRead = 13,         // a: wanted; reply data: bytes read
  // The virtual unit's own API (device index in a).
  kInsertCoin = 32,  // b: value
  kInsertNote = 33,  // b: value
  kGetState = 34,    // reply data: vu_state
  kCheckMoney = 35,  // reply data: vu_money_report
  kJam = 36,         // b: unit, c: on
  kRemoveUnit = 37,  // b: unit, c: on
  kPowerFail = 38,
  kAddFault = 39,  // data: vu_fault
  kClearFaults = 40,
  kSetCoinStock = 41,  // data: int[4]
  kSetNoteStock = 42,  // b: count
  kReset = 43,
  kSetTiming = 44,  // data: vu_timing, or none for instant
};

constexpr size_t kRequestHeader = 4 + 8 + 8 + 8 + 8 + 4;
constexpr size_t kReplyHeader = 8 + 8 + 8 + 4;
// Larger than any frame or record: a message longer than this is garbage.
constexpr uint32_t kMaxData = 1u << 16;

struct Request {
  uint32_t op = 0;
  uint64_t handle = 0;
  int64_t a = 0, b = 0, c = 0;
  std::vector<uint8_t> data;
};

struct Reply {
  int64_t status = 0;
  uint64_t handle = 0;
  int64_t a = 0;
  std::vector<uint8_t> data;
};

template <typename T>
void Put(std::string *out, T value) {
  char bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);  // little-endian hosts only
  out->append(bytes, sizeof value);
}

template <typename T>
T Get(const uint8_t *in) {
  T value;
  std::memcpy(&value, in, sizeof value);
  return value;
}

inline std::string Encode(const Request &r) {
  std::string out;
  Put(&out, r.op);
  Put(&out, r.handle);
  Put(&out, r.a);
  Put(&out, r.b);
  Put(&out, r.c);
  Put(&out, static_cast<uint32_t>(r.data.size()));
  out.append(r.data.begin(), r.data.end());
  return out;
}

inline std::string Encode(const Reply &r) {
  std::string out;
  Put(&out, r.status);
  Put(&out, r.handle);
  Put(&out, r.a);
  Put(&out, static_cast<uint32_t>(r.data.size()));
  out.append(r.data.begin(), r.data.end());
  return out;
}

// Blocking whole-message I/O on a connected socket; false when the peer has
// gone or sent something malformed.
bool SendAll(int fd, const std::string &bytes);
bool ReadRequest(int fd, Request *r);
bool ReadReply(int fd, Reply *r);

// Where the server listens unless told otherwise: $TAVOVU_SOCKET, else
// tavovu.sock in $XDG_RUNTIME_DIR, else /tmp/tavovu-UID.sock.
std::string DefaultSocketPath();

}  // namespace vuremote

#endif  // TAVOVU_REMOTE_PROTOCOL_H
