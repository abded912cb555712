#include "unit_script.h"

namespace fake {

Bytes CoinStatus(uint8_t s) { return Item(0x0B, {s}); }
Bytes BillStatus(uint8_t s0, uint8_t s1, uint8_t s2) {
  return Item(0x1B, {s0, s1, s2});
}

Bytes BoardMeters(uint32_t charged, uint32_t counter0) {
  Bytes meters(60, 0);
  for (int i = 0; i < 4; ++i)
    meters[16 + i] = static_cast<uint8_t>(counter0 >> (24 - 8 * i));
  meters[32] = static_cast<uint8_t>(charged >> 24);
  meters[33] = static_cast<uint8_t>(charged >> 16);
  meters[34] = static_cast<uint8_t>(charged >> 8);
  meters[35] = static_cast<uint8_t>(charged);
  return Item(0x7A, meters);
}

void UnitScript::Install() const {
  D2xx &d = D2xx::Get();
  d.Standing(0xF0, Status(0x11));                // board hello
  d.Standing(0xF1, Body(0x33, BoardMeters(0)));  // board read
  d.Standing(0xF2, Body(0x33, {}));              // board poll
  d.Standing(0xF3, Status(0x11));                // board write
  d.Standing(0xF6, Status(0xEE));                // backup coin
  d.Standing(0xF7, Status(0xEE));                // backup bill
  d.Standing(0x62, Status(0x11));                // coin poll
  d.Standing(0x63, Status(0x11));                // coin control
  d.Standing(0x5A, Status(0x11));                // note poll
  d.Standing(0x5B, Status(0x11));                // note control
  if (coin) {
    d.Standing(0x60, Status(0x11));
    d.Standing(
        0x61, Body(0x11, Concat({Item(0x0D, {0x01, 0x02}), CoinStatus(0x04)})));
  }
  if (bill) {
    d.Standing(0x58, Status(0x11));
    d.Standing(
        0x59, Body(0x11, Concat({Item(0x1D, {0x03, 0x04}), BillStatus(0x04)})));
  }
}

}  // namespace fake
