// Standing replies that make the scripted device behave like a healthy
// unit with both money units fitted, for tests of the exports.
#ifndef TAVOCTL_TESTS_UNIT_SCRIPT_H
#define TAVOCTL_TESTS_UNIT_SCRIPT_H

#include "fake_d2xx.h"

namespace fake {

// Coin status item (tag 0x0B) and note status item (tag 0x1B).
Bytes CoinStatus(uint8_t s);
Bytes BillStatus(uint8_t s0, uint8_t s1 = 0, uint8_t s2 = 0);
// A board list whose meter item sets Meters[8] to `charged` and Meters[4]
// (counter 0) to `counter0`.
Bytes BoardMeters(uint32_t charged, uint32_t counter0 = 0);

struct UnitScript {
  bool coin = true;  // coin unit answers its hello
  bool bill = true;  // note unit answers its hello
  // Installs standing replies: hellos StAck, reads with unit ids, backup
  // reads StNone, board writes and unit controls StAck, unit polls StAck,
  // board poll an empty StList.
  void Install() const;
};

}  // namespace fake

#endif
