// The unit poller: the one open unit, every call of the library made
// through it (timed, its failures counted and told as events), the polls of
// the money units and the reads of the board, and the unit's last known
// state as JSON for GET /v1/unit. It runs on the worker's thread only, but
// for Json().
#ifndef TAVOD_UNIT_POLLER_H
#define TAVOD_UNIT_POLLER_H

#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "metrics.h"
#include "money.h"
#include "unit.h"

namespace tavod {

// Events for the WebSocket: a type and its data.
using EventSink =
    std::function<void(const std::string &type, boost::json::object data)>;

// What the rest of the service adds to the unit's state: whether a sale or
// payout may begin, and the sale under way.
struct UnitStatus {
  bool ready = false;
  std::optional<int64_t> sale;
};

class UnitPoller {
 public:
  using Clock = std::chrono::steady_clock;
  // Polls waiting for a unit to finish its work.
  static constexpr int kMaxPolls = 150;

  UnitPoller(Metrics &metrics, EventSink &events);

  // Loads the library and its provider; false with the reason.
  bool Load(const std::string &provider, std::string *error);
  const Exports &exports() const { return x_; }
  const VirtualUnit &virtualUnit() const { return vu_; }
  void SetStatus(std::function<UnitStatus()> status) {
    status_ = std::move(status);
  }
  // Told the units' records each time the unit's state is renewed.
  void OnUnits(std::function<void(const TavoData &)> seen) {
    seen_ = std::move(seen);
  }

  // Calls an export (`Exports::*fn`) on the open unit with `args`; the
  // code.
  template <typename Fn, typename... Args>
  uint16_t Run(const char *name, Fn Exports::*fn, Args... args) {
    return Call(name, [&] { return (x_.*fn)(handle_, args...); });
  }
  uint16_t Call(const char *name, const std::function<uint32_t()> &fn);

  // TAVO_Open; false (and tried again after a pause) when it failed.
  bool Open();
  // After a successful Open: the board and the units read, the unit told
  // as connected.
  void Connected();
  void Close();
  // The board was reset: the connection is gone without a close.
  void Dropped();
  bool IsOpen() const { return open_; }
  bool OpenDue(Clock::time_point now) const { return now >= nextOpenTry_; }

  // TAVO_GetTAVOData: false when it failed (the unit closed after repeated
  // failures or a code that asks to reopen).
  bool Poll();
  // The poll between sales, at most every `ms`; PollSoon makes it due.
  void IdlePoll(Clock::time_point now, int ms);
  void PollSoon() { nextIdlePoll_ = Clock::now(); }
  // TAVO_GetPCBData.
  bool ReadBoard();
  // Polls until neither money unit is busy, or `*tries` reaches kMaxPolls,
  // then reads the board.
  enum class Measure { kPollFailed, kBusy, kBoardFailed, kRead };
  Measure PollIdleThenReadBoard(int *tries);

  // The board kept a backup of the units' records (TAVO_GetBackupData,
  // not counted as an exchange).
  bool BoardKeptBackup();

  const PcbData &Board() const { return pcb_; }
  const TavoData &Units() const { return tavo_; }
  uint32_t Credit() const { return DerivedCredit(tavo_, pcb_); }
  uint16_t LastCode() const { return lastCode_; }

  // Renews the JSON of the unit's state.
  void Publish();
  // The unit's last known state as JSON text; safe from any thread.
  std::shared_ptr<const std::string> Json() const;

 private:
  void NoticeInsertions(const TavoData &before);

  Metrics &metrics_;
  EventSink &events_;
  std::function<UnitStatus()> status_;
  std::function<void(const TavoData &)> seen_;
  Exports x_;
  VirtualUnit vu_;
  bool open_ = false;
  uint32_t handle_ = 0;
  Clock::time_point nextOpenTry_{};
  Clock::time_point nextIdlePoll_{};
  int failedPolls_ = 0;
  PcbData pcb_{};
  TavoData tavo_{};
  bool tavoKnown_ = false;
  uint16_t lastCode_ = 0;

  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const std::string> snapshot_;
};

}  // namespace tavod

#endif  // TAVOD_UNIT_POLLER_H
