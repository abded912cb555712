// The library and its D2XX provider, loaded at run time so that one service
// drives the virtual unit (in this process or in tavovu-server) or a real
// unit through any provider.
#ifndef TAVOD_UNIT_H
#define TAVOD_UNIT_H

#include <string>

#include "tavoctl.h"
#include "tavovu.h"

namespace tavod {

// The twenty exports.
struct Exports {
  uint32_t(TAVO_CALL *Open)(uint32_t *) = nullptr;
  uint32_t(TAVO_CALL *Close)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Reset)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *ClearBackup)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *GetPCBData)(uint32_t, PcbData *) = nullptr;
  uint32_t(TAVO_CALL *GetTAVOData)(uint32_t, TavoData *) = nullptr;
  uint32_t(TAVO_CALL *GetBackupData)(uint32_t, TavoData *) = nullptr;
  uint32_t(TAVO_CALL *TradeBegin)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *TradeEnd)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *AcceptEx)(uint32_t, uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Accept)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *Charge)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *PayBack)(uint32_t) = nullptr;
  uint32_t(TAVO_CALL *PayOut)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegDot)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegNum)(uint32_t, uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *SegPtn)(uint32_t, const uint8_t *) = nullptr;
  uint32_t(TAVO_CALL *BuzzCtrl)(uint32_t, uint32_t, const uint8_t *) = nullptr;
  uint32_t(TAVO_CALL *OutputPort)(uint32_t, uint32_t) = nullptr;
  uint32_t(TAVO_CALL *UserCnt)(uint32_t, uint32_t, uint32_t) = nullptr;
};

// The virtual unit's customer, fault and read-back calls, when the provider
// is a virtual unit (in-process or remote); all null otherwise.
struct VirtualUnit {
  bool present = false;
  decltype(&vu_insert_coin) insertCoin = nullptr;
  decltype(&vu_insert_note) insertNote = nullptr;
  decltype(&vu_get_state) getState = nullptr;
  decltype(&vu_check_money) checkMoney = nullptr;
  decltype(&vu_jam) jam = nullptr;
  decltype(&vu_power_fail) powerFail = nullptr;
  decltype(&vu_add_fault) addFault = nullptr;
  decltype(&vu_clear_faults) clearFaults = nullptr;
};

// Loads `provider` (a path, or a bare name looked up beside the service and
// one folder up) and then the library. False with the reason in `error`.
bool LoadUnit(const std::string &provider, Exports *exports, VirtualUnit *vu,
              std::string *error);

// The folder of the running executable, with a trailing slash.
std::string ExecutableFolder();
// `name` beside the executable or one folder up (a build tree), or empty.
std::string FindBeside(const std::string &name);

}  // namespace tavod

#endif  // TAVOD_UNIT_H
