// Turns a traced frame into one line a person can read: the bytes, then the
// command or status by name with its payload or items decoded.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "model.h"

namespace vu {
namespace {

void Append(std::string &s, const char *format, ...) {
  char buffer[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  s += buffer;
}

const char *CommandName(uint8_t command) {
  switch (command) {
    case 0xF0:
      return "BoardHello";
    case 0xF1:
      return "BoardRead";
    case 0xF2:
      return "BoardPoll";
    case 0xF3:
      return "BoardWrite";
    case 0xF6:
      return "BackupCoin";
    case 0xF7:
      return "BackupBill";
    case 0x60:
      return "CoinHello";
    case 0x61:
      return "CoinRead";
    case 0x62:
      return "CoinPoll";
    case 0x63:
      return "CoinCtrl";
    case 0x58:
      return "BillHello";
    case 0x59:
      return "BillRead";
    case 0x5A:
      return "BillPoll";
    case 0x5B:
      return "BillCtrl";
    default:
      return "unknown command";
  }
}

const char *StatusName(uint8_t status) {
  switch (status) {
    case StAck:
      return "StAck";
    case StItem:
      return "StItem";
    case StList:
      return "StList";
    case StReset:
      return "StReset";
    case StNone:
      return "StNone";
    case StRefused:
      return "refused";
    default:
      return "unexpected status";
  }
}

void Hex(std::string &s, const uint8_t *bytes, size_t length) {
  constexpr size_t kShown = 12;
  for (size_t i = 0; i < length && i < kShown; ++i) {
    Append(s, i ? " %02X" : "%02X", bytes[i]);
  }
  if (length > kShown) Append(s, " ..(%zu bytes)", length);
}

void BoardWrite(std::string &s, const uint8_t *p, size_t n) {
  if (n == 0) return;
  switch (p[0]) {
    case 0x70:
      if (n < 2) break;
      switch (p[1]) {
        case 0x80:
          s += " System reset";
          return;
        case 0x40:
          s += " System clear-backup";
          return;
        case 0x01:
          s += " System start";
          return;
        case 0x02:
          s += " System stop";
          return;
        default:
          Append(s, " System action %02X", p[1]);
          return;
      }
    case 0x71:
      if (n >= 2) Append(s, " OutputPort %02X", p[1]);
      return;
    case 0x72:
      if (n < 3) break;
      if (p[1] & 0x80) {
        Append(s, " Counter charge %d", (p[1] & 0x7F) << 8 | p[2]);
      } else {
        Append(s, " Counter %d count %d", p[1] >> 4, p[2]);
      }
      return;
    case 0x73:
      if (n >= 8) {
        Append(s, " Clock %02X%02X-%02X-%02X %02X:%02X:%02X", p[1], p[2], p[3],
               p[4], p[5], p[6], p[7]);
      }
      return;
    case 0x74:
      if (n >= 6) {
        Append(s, " 7Seg dots %02X digits %02X %02X %02X %02X", p[1], p[2],
               p[3], p[4], p[5]);
      }
      return;
    case 0x75:
      Append(s, " Buzzer %zu pattern bytes", n - 1);
      return;
    default:
      break;
  }
  Append(s, " sub-command %02X", p[0]);
}

void CoinCtrl(std::string &s, const uint8_t *p, size_t n) {
  if (n == 2 && p[0] == 0x00) {
    const char *what = p[1] == 0   ? "inhibit"
                       : p[1] == 1 ? "enable"
                       : p[1] == 2 ? "settle"
                                   : "control ?";
    Append(s, " %s", what);
  } else if (n == 4 && p[0] == 0x01) {
    Append(s, " payout %d",
           FromBcd(p[1]) + (p[2] & 0x0F) * 100 + (p[2] >> 4) * 1000 +
               p[3] * 10000);
  }
}

void BillCtrl(std::string &s, const uint8_t *p, size_t n) {
  if (n == 3 && p[0] == 0x10) {
    const char *what = p[1] == 0x20   ? "inhibit"
                       : p[1] == 0x21 ? "enable"
                       : p[1] == 0x02 ? "settle"
                                      : "control ?";
    Append(s, " %s", what);
  } else if (n == 5 && p[0] == 0x11) {
    Append(s, " payout %d notes", p[2] >> 4);
  }
}

void Request(std::string &s, const uint8_t *b, size_t n) {
  if (n == 0) return;
  s += CommandName(b[0]);
  if (n < 4 || !HasPayload(b[0])) return;
  const uint8_t *p = b + 3;
  size_t length = b[2];
  if (length + 4 > n) length = n - 3;
  if (b[0] == 0xF3) BoardWrite(s, p, length);
  if (b[0] == 0x63) CoinCtrl(s, p, length);
  if (b[0] == 0x5B) BillCtrl(s, p, length);
}

void Counts(std::string &s, const char *name, const uint8_t *v) {
  Append(s, " %s %d/%d/%d/%d", name, FromBcd(v[0]), FromBcd(v[1]),
         FromBcd(v[2]), FromBcd(v[3]));
}

void Flags(std::string &s, uint8_t v, const char *const names[8]) {
  Append(s, "%02X", v);
  bool first = true;
  for (int bit = 0; bit < 8; ++bit) {
    if ((v & (1 << bit)) && names[bit]) {
      Append(s, "%s%s", first ? "(" : ",", names[bit]);
      first = false;
    }
  }
  if (!first) s += ")";
}

void OneItem(std::string &s, uint8_t tag, const uint8_t *v, size_t n) {
  static const char *const coinBits[8] = {"accepting", nullptr,  "stopped",
                                          "returned",  "payout", "settled",
                                          nullptr,     "jammed"};
  static const char *const noteBits[8] = {"accepting", nullptr,   "stopped",
                                          "payout",    "settled", "held",
                                          "returned",  "jammed"};
  auto need = [&](size_t size) { return n >= size; };
  switch (tag) {
    case 0x08:
      if (need(4)) Counts(s, "CoinIn", v);
      return;
    case 0x09:
      if (need(4)) Counts(s, "CoinStock", v);
      return;
    case 0x0A:
      if (need(4)) Counts(s, "CoinOut", v);
      return;
    case 0x0B:
      if (need(1)) {
        s += " CoinStatus ";
        Flags(s, v[0], coinBits);
      }
      return;
    case 0x0C:
      if (need(3)) Append(s, " CoinAux %06X", v[0] | v[1] << 8 | v[2] << 16);
      return;
    case 0x0D:
      if (need(2)) Append(s, " CoinUnitId %02X %02X", v[0], v[1]);
      return;
    case 0x18:
      if (need(1)) Append(s, " BillEscrow %d", FromBcd(v[0]));
      return;
    case 0x19:
      if (need(1)) Append(s, " BillStock %d", FromBcd(v[0]));
      return;
    case 0x1A:
      if (need(1)) Append(s, " BillOut %d", FromBcd(v[0]));
      return;
    case 0x1B:
      if (need(3)) {
        s += " BillStatus ";
        Flags(s, v[0], noteBits);
        Append(s, " %02X %02X", v[1], v[2]);
      }
      return;
    case 0x1C:
      if (need(2)) Append(s, " BillAux %04X", v[0] | v[1] << 8);
      return;
    case 0x1D:
      if (need(2)) Append(s, " BillUnitId %02X %02X", v[0], v[1]);
      return;
    case 0x79:
      if (need(3)) Append(s, " BoardAux %06X", v[0] << 16 | v[1] << 8 | v[2]);
      return;
    case 0x7A:
      if (need(60)) {
        auto meter = [&](int i) {
          return static_cast<unsigned>(v[4 * i] << 24 | v[4 * i + 1] << 16 |
                                       v[4 * i + 2] << 8 | v[4 * i + 3]);
        };
        Append(s, " Meters in %u+%u out %u+%u charged %u", meter(0), meter(1),
               meter(2), meter(3), meter(8));
      }
      return;
    case 0x7B:
      if (need(14)) {
        Append(s,
               " Blocks clock %02X%02X-%02X-%02X %02X:%02X:%02X "
               "display %02X %02X%02X%02X%02X port %02X",
               v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
               v[10], v[11], v[12]);
      }
      return;
    case 0x7D:
      s += " BoardText";
      return;
    default:
      Append(s, " item %02X", tag);
      return;
  }
}

void ReplyText(std::string &s, uint8_t command, const uint8_t *b, size_t n) {
  if (n == 0) {
    s += "(silence)";
    return;
  }
  s += StatusName(b[0]);
  if (!CarriesData(command, b[0]) || n < 2) return;
  size_t length = b[1];
  bool whole = n >= length + 3;
  const uint8_t *data = b + 2;
  size_t have = whole ? length : n - 2;
  if (b[0] == StItem) {
    if (have >= 1) OneItem(s, data[0], data + 1, have - 1);
  } else {
    size_t p = 0;
    if (length == 0) s += " (empty)";
    while (p < have && p + 1 + data[p] <= have) {
      if (data[p] >= 1) OneItem(s, data[p + 1], data + p + 2, data[p] - 1u);
      p += data[p] + 1u;
    }
  }
  if (!whole) {
    s += " [cut short]";
    return;
  }
  uint8_t check = static_cast<uint8_t>(length);
  for (size_t i = 0; i < length; ++i) check ^= data[i];
  if (check != b[2 + length]) s += " [bad check byte]";
}

}  // namespace

size_t Describe(const vu_trace_event &e, char *text, size_t size) {
  std::string s;
  s += e.direction == VU_TRACE_REQUEST ? "-> " : "<- ";
  Hex(s, e.bytes, e.length);
  s += e.length ? "   " : "";
  if (e.direction == VU_TRACE_REQUEST) {
    Request(s, e.bytes, e.length);
  } else {
    ReplyText(s, e.command, e.bytes, e.length);
  }
  size_t n = s.size() < size - 1 ? s.size() : size - 1;
  s.copy(text, n);
  text[n] = 0;
  return n;
}

}  // namespace vu
