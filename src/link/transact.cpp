// The framed request/reply exchange with the unit.
//
// Request: command, its complement, and for a payload: length N, the N
// bytes and a check byte (N XOR every payload byte). Reply: a status byte,
// and for a data-carrying status: length L, L data bytes and a check byte.
// The reply is read in three steps whose sizes come from what was read
// before: the status alone (most replies end there), the length alone, then
// data and check byte in one read of exactly L + 1 bytes.
#include "link/link.h"
#include "protocol/protocol.h"

namespace {

// Whether a reply status announces a body. The read commands (low three
// bits 001) and the two backup reads answer StAck or StList with an item
// list; every other command carries a body after StItem or StList. Any
// other status is a one-byte reply.
bool CarriesData(uint8_t command, uint8_t status) {
  bool isRead = (command & 7) == 1 || command == CmdBackupCoin ||
                command == CmdBackupBill;
  if (status == StList) return true;
  return isRead ? status == StAck : status == StItem;
}

}  // namespace

// Every caller hands over a whole 256-byte FrameBuf, which holds the largest
// body a reply can deliver (an item of 255 bytes behind its inserted length
// byte). So a reply with a body to a write or control command, whose caller
// only meant the buffer to carry a short payload, is still placed wholly
// inside the caller's buffer, never past it; the caller then sees a status
// other than StAck and reports the command as failed.
int Transact(uint8_t command, uint32_t *count, FrameBuf *buffer) {
  uint8_t request[kFrameSize];
  uint8_t body[kFrameSize];  // data and check byte, L + 1 <= 256

  uint32_t size = 2;
  request[0] = command;
  request[1] = static_cast<uint8_t>(~command);
  if (count != nullptr && buffer != nullptr && *count != 0) {
    uint32_t n = *count > kMaxPayload ? kMaxPayload : *count;
    uint8_t check = static_cast<uint8_t>(n);
    request[2] = static_cast<uint8_t>(n);
    for (uint32_t i = 0; i < n; ++i) {
      request[3 + i] = (*buffer)[i];
      check ^= (*buffer)[i];
    }
    request[3 + n] = check;
    size = n + 4;
  }

  // Whatever an abandoned reply left in the queues must not reach this one.
  Unit.LastDriverStatus = FT_Purge(Unit.DriverHandle, kPurgeBoth);
  if (Unit.LastDriverStatus != FT_OK) return -1;

  // A short write is not examined: it shows as a missing reply.
  DWORD written = 0;
  Unit.LastDriverStatus = FT_Write(Unit.DriverHandle, request, size, &written);
  if (Unit.LastDriverStatus != FT_OK) return -2;

  uint8_t status = 0;
  DWORD got = 0;
  Unit.LastDriverStatus = FT_Read(Unit.DriverHandle, &status, 1, &got);
  if (Unit.LastDriverStatus != FT_OK) return -3;
  if (got < 1) return -4;
  if (!CarriesData(command, status)) return status;

  uint8_t length = 0;
  got = 0;
  Unit.LastDriverStatus = FT_Read(Unit.DriverHandle, &length, 1, &got);
  if (Unit.LastDriverStatus != FT_OK) return -5;
  if (got < 1) return -6;

  DWORD want = static_cast<DWORD>(length) + 1;
  got = 0;
  Unit.LastDriverStatus = FT_Read(Unit.DriverHandle, body, want, &got);
  if (Unit.LastDriverStatus != FT_OK) return -7;
  if (got < want) return -8;

  // Without a place to put it the body has been read to its end and is
  // dropped unchecked.
  if (count == nullptr || buffer == nullptr) return status;

  // A single item gets its length byte in front, so that it reads exactly
  // like an item list of one entry.
  uint32_t at = 0;
  if (status == StItem) (*buffer)[at++] = length;
  uint8_t check = length;
  for (uint32_t i = 0; i < length; ++i) {
    (*buffer)[at + i] = body[i];
    check ^= body[i];
  }
  *count = at + length;
  if (check != body[length]) return -9;
  return status;
}
