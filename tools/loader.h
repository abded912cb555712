// Finds and loads the library and its D2XX provider at run time, so that one
// tool drives the virtual unit or a real one: the provider is loaded first
// and made visible to the library, whose FT_* imports then bind to it.
#ifndef TAVOCTL_TOOLS_LOADER_H
#define TAVOCTL_TOOLS_LOADER_H

#include <string>

#include "tavobridges.h"
#include "tavoctl.h"
#include "tavovu.h"

namespace tavo {

// The twenty exports.
struct Library {
  uint32_t(TAVO_CALL *Open)(uint32_t *);
  uint32_t(TAVO_CALL *Close)(uint32_t);
  uint32_t(TAVO_CALL *Reset)(uint32_t);
  uint32_t(TAVO_CALL *ClearBackup)(uint32_t);
  uint32_t(TAVO_CALL *GetPCBData)(uint32_t, PcbData *);
  uint32_t(TAVO_CALL *GetTAVOData)(uint32_t, TavoData *);
  uint32_t(TAVO_CALL *GetBackupData)(uint32_t, TavoData *);
  uint32_t(TAVO_CALL *TradeBegin)(uint32_t);
  uint32_t(TAVO_CALL *TradeEnd)(uint32_t);
  uint32_t(TAVO_CALL *AcceptEx)(uint32_t, uint32_t, uint32_t);
  uint32_t(TAVO_CALL *Accept)(uint32_t, uint32_t);
  uint32_t(TAVO_CALL *Charge)(uint32_t, uint32_t);
  uint32_t(TAVO_CALL *PayBack)(uint32_t);
  uint32_t(TAVO_CALL *PayOut)(uint32_t, uint32_t);
  uint32_t(TAVO_CALL *SegDot)(uint32_t, uint32_t);
  uint32_t(TAVO_CALL *SegNum)(uint32_t, uint32_t, uint32_t);
  uint32_t(TAVO_CALL *SegPtn)(uint32_t, const uint8_t *);
  uint32_t(TAVO_CALL *BuzzCtrl)(uint32_t, uint32_t, const uint8_t *);
  uint32_t(TAVO_CALL *OutputPort)(uint32_t, uint32_t);
  uint32_t(TAVO_CALL *UserCnt)(uint32_t, uint32_t, uint32_t);
};

// The virtual unit's own functions; all null when the provider is a real
// driver.
struct VirtualUnit {
  bool present = false;
  decltype(&vu_reset) reset = nullptr;
  decltype(&vu_insert_coin) insertCoin = nullptr;
  decltype(&vu_insert_note) insertNote = nullptr;
  decltype(&vu_get_state) getState = nullptr;
  decltype(&vu_check_money) checkMoney = nullptr;
  decltype(&vu_set_trace) setTrace = nullptr;
  decltype(&vu_describe) describe = nullptr;
  decltype(&vu_add_fault) addFault = nullptr;
  decltype(&vu_jam) jam = nullptr;
  decltype(&vu_clear_devices) clearDevices = nullptr;
  decltype(&vu_set_coin_stock) setCoinStock = nullptr;
  decltype(&vu_set_note_stock) setNoteStock = nullptr;
};

// What the provider says about the bridges it sees: the optional functions
// of tavobridges.h (the project's Linux providers), else the vendor's
// listing by index (serial number and description) where it has one.
struct Bridges {
  tavo_bridges_list_fn list = nullptr;
  tavo_bridges_select_fn select = nullptr;
  // FT_ListDevices, with the vendor's calling convention and DWORD.
#if defined(_WIN32)
  unsigned long(__stdcall *listDevices)(void *, void *,
                                        unsigned long) = nullptr;
#else
  unsigned (*listDevices)(void *, void *, unsigned) = nullptr;
#endif
};

// Loads the provider (`providerPath`, or the virtual unit beside the tool
// when empty) and then the library beside the tool. On failure returns false
// with the reason in `error`.
bool Load(const std::string &providerPath, Library *library, VirtualUnit *unit,
          std::string *error, Bridges *bridges = nullptr);

}  // namespace tavo

#endif  // TAVOCTL_TOOLS_LOADER_H
