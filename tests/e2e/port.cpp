#include "port.h"

#include <cstddef>

Port::Port(int index, bool configure) {
  if (FT_Open(index, &handle_) != FT_OK) {
    handle_ = nullptr;
    return;
  }
  if (configure) {
    FT_SetBaudRate(handle_, 38400);
    FT_SetDataCharacteristics(handle_, 8, 0, 0);
    FT_SetFlowControl(handle_, 0, 0, 0);
    FT_SetTimeouts(handle_, 1000, 300);
  }
}

Port::~Port() {
  if (handle_) FT_Close(handle_);
}

Bytes Port::Read(uint32_t count) {
  Bytes out(count);
  DWORD got = 0;
  if (FT_Read(handle_, out.data(), count, &got) != FT_OK) return {};
  out.resize(got);
  return out;
}

Bytes Port::Exchange(const Bytes &frame) {
  FT_Purge(handle_, 3);
  DWORD written = 0;
  Bytes copy = frame;
  FT_Write(handle_, copy.data(), static_cast<DWORD>(copy.size()), &written);
  return Read(300);
}

const Bytes *ParsedReply::Find(uint8_t tag) const {
  for (const Bytes &item : items) {
    if (!item.empty() && item[0] == tag) return &item;
  }
  return nullptr;
}

ParsedReply Parse(const Bytes &reply) {
  ParsedReply r;
  if (reply.size() < 3) return r;
  r.status = reply[0];
  size_t length = reply[1];
  if (reply.size() != length + 3) return r;
  uint8_t check = static_cast<uint8_t>(length);
  for (size_t i = 0; i < length; ++i) check ^= reply[2 + i];
  r.checkOk = check == reply[2 + length];
  if (!r.checkOk) return r;
  const uint8_t *data = reply.data() + 2;
  if (r.status == 0x22) {
    r.items.emplace_back(data, data + length);
    return r;
  }
  for (size_t p = 0; p < length && p + 1 + data[p] <= length;
       p += data[p] + 1u) {
    r.items.emplace_back(data + p + 1, data + p + 1 + data[p]);
  }
  return r;
}
