// One whole sale through the twenty exports, the customer played on the
// virtual unit behind an emulated bridge. Shared by the tests and the
// latency benchmark.
#ifndef TAVOCTL_TESTS_USB_USB_SALE_H
#define TAVOCTL_TESTS_USB_USB_SALE_H

#include <cstdio>
#include <string>

#include "emulated_bridge.h"
#include "tavoctl.h"

namespace usbtest {

// A trade of 1280 paid with a note of 1000 and a coin of 500, change 220.
// Returns "" when every export succeeded, else the first that failed.
inline std::string WholeSale(const Bridges &bridges, int unit,
                             uint32_t handle) {
  char failed[64] = "";
  auto ok = [&](const char *what, uint32_t code) {
    if (code != 0 && failed[0] == 0) {
      std::snprintf(failed, sizeof failed, "%s: 0x%04X", what, code);
    }
    return code == 0;
  };
  TavoData live{};
  if (!ok("TradeBegin", TAVO_TradeBegin(handle)) ||
      !ok("Accept", TAVO_Accept(handle, 1280))) {
    return failed;
  }
  bridges.Vu().insert_note(unit, 1000);
  for (int i = 0; i < 6; ++i)
    ok("GetTAVOData", TAVO_GetTAVOData(handle, &live));
  bridges.Vu().insert_coin(unit, 500);
  ok("GetTAVOData", TAVO_GetTAVOData(handle, &live));
  if (!ok("Charge", TAVO_Charge(handle, 1280)) ||
      !ok("PayBack", TAVO_PayBack(handle))) {
    return failed;
  }
  // The payout is done once the units have reported it: the pending bits
  // in the top byte of each unit's flags are clear.
  for (int i = 0; i < 10 && ((live.CoinFlags | live.BillFlags) >> 24) != 0;
       ++i) {
    ok("GetTAVOData", TAVO_GetTAVOData(handle, &live));
  }
  for (int i = 0; i < 4; ++i)
    ok("GetTAVOData", TAVO_GetTAVOData(handle, &live));
  ok("TradeEnd", TAVO_TradeEnd(handle));
  return failed;
}

}  // namespace usbtest

#endif  // TAVOCTL_TESTS_USB_USB_SALE_H
