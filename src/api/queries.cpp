// The status queries. During a trade they also keep it going while the
// application polls: the acceptance limit and the note follow-up.
#include <cstring>

#include "api/frame.h"
#include "state/state.h"
#include "trade/trade.h"

namespace {

bool TradeOpen() { return Unit.PcbRecord.TradeId != 0; }

}  // namespace

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetPCBData(uint32_t handle,
                                                       PcbData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETPCBDATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, Reason::BadArgument);
    if (int r = RefreshStatus())
      return RefreshCode(fn, Reason::RefreshFailed, r);
    if (TradeOpen()) {
      if (uint16_t code = ApplyAcceptLimit()) return code;
    }
    std::memcpy(buffer, &Unit.PcbRecord, sizeof Unit.PcbRecord);
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetTAVOData(uint32_t handle,
                                                        TavoData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETTAVODATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, Reason::BadArgument);
    if (int r = RefreshStatus())
      return RefreshCode(fn, Reason::RefreshFailed, r);
    if (TradeOpen()) {
      // A payout sent without an acknowledgement is settled here too, so
      // that an application polling for the pending bits to clear sees
      // them clear whichever way it went.
      if ((Unit.CoinPending | Unit.BillPending) & PendingUnconfirmed)
        ResolveUnconfirmedPayouts();
      if (uint16_t code = ApplyAcceptLimit()) return code;
      if (uint16_t code = FollowNoteEscrow()) return code;
    }
    // The top bytes of the flags words mirror the pending commands as they
    // stand now, also after the follow-up has changed them: an application
    // polls until they read 0, and the units report nothing new to renew
    // them while they stand idle.
    MirrorPendingInFlags();
    std::memcpy(buffer, &Unit.LiveRecord, sizeof Unit.LiveRecord);
    // The application has now seen the latched coin bit.
    Unit.LiveRecord.CoinFlags &= ~CoinLatched;
    return TAVO_OK;
  });
}

extern "C" TAVO_API uint32_t TAVO_CALL TAVO_GetBackupData(uint32_t handle,
                                                          TavoData *buffer) {
  constexpr uint8_t fn = TAVO_FN_GETBACKUPDATA;
  return RunExport(fn, handle, [&]() -> uint16_t {
    if (buffer == nullptr) return Code(fn, Reason::BadArgument);
    std::memcpy(buffer, &Unit.BackupRecord, sizeof Unit.BackupRecord);
    return TAVO_OK;
  });
}
