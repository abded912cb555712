// The worker: the one thread that owns the unit. Every call of the library
// is made here, one after the other, so that no client ever meets the
// library's busy codes; requests reach it as jobs posted to its executor,
// and a timer on the same executor polls the unit and drives the sale.
#ifndef TAVOD_WORKER_H
#define TAVOD_WORKER_H

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "answer.h"
#include "journal.h"
#include "metrics.h"
#include "unit.h"

namespace tavod {

struct WorkerOptions {
  std::string provider;  // the D2XX provider to load
  int salePollMs = 100;  // status polls while a sale runs
  int idlePollMs = 1000;
  int faultTimeoutMs = 15000;  // a sale without a unit this long fails
  // On SIGTERM a sale under way is finished or paid back within this time
  // before the service exits (the systemd unit's TimeoutStopSec is longer).
  int stopTimeoutMs = 20000;
  // Test hook: the name of a point in the sale at which the process kills
  // itself (SIGKILL), to prove that the journal finishes the sale.
  std::string crashAt;
};

// Events for the WebSocket: a type and its data.
using EventSink =
    std::function<void(const std::string &type, boost::json::object data)>;

class Worker {
 public:
  Worker(boost::asio::io_context &io, Journal &journal, Metrics &metrics,
         WorkerOptions options, EventSink events);

  // Loads the library, opens the unit, finishes a sale left by an earlier
  // run and starts polling. False (with the reason) when the library or
  // provider cannot be loaded at all.
  bool Start(std::string *error);
  bool IsVirtual() const { return vu_.present; }

  // Jobs; run on the worker's executor only.
  Answer CreateSale(uint32_t price);
  Answer GetSale(int64_t id);
  Answer ListSales();
  Answer CancelSale(int64_t id);
  Answer Payout(uint32_t amount);
  Answer Display(uint32_t value);
  Answer Beep();
  Answer ResetUnit();
  Answer ListIncidents(bool openOnly);
  Answer ResolveIncident(int64_t id);
  Answer VirtualInsert(bool note, int value);
  Answer VirtualFault(const std::string &kind, bool on);
  Answer VirtualMoney();
  Answer ListOperations();
  // Closes the unit (the board stops, acceptance goes off) before exit.
  void Shutdown();
  // SIGTERM: no new sale or payout; a sale under way is finished, or paid
  // back when nothing was charged, then the unit is closed and `stopped`
  // runs (on the worker's thread). At the stop time-out the unit is closed
  // whatever remains, for the journal and the next start to finish.
  void Stop(std::function<void()> stopped);

  // The journal's state for /healthz; safe from any thread.
  bool JournalFaulted() const { return journalFaulted_.load(); }
  // The unit's last known state as JSON text; safe from any thread.
  std::shared_ptr<const std::string> UnitJson() const;

 private:
  struct Sale {
    SaleRecord rec;
    int tries = 0;  // calls of the current step that did not succeed
    std::chrono::steady_clock::time_point unitLostSince{};
    uint32_t framesAtStart = 0;
    bool counting = false;
    // Since when the journal refuses this sale's steps (zero: it writes).
    std::chrono::steady_clock::time_point journalLostSince{};
  };

  void Schedule(int ms);
  void Tick();
  bool OpenUnit();
  void CloseUnit();
  bool PollStatus();
  bool ReadBoard();
  uint32_t ComputeCredit() const;
  uint32_t InsertedValue() const;
  uint32_t PaidValue() const;
  bool UnitsBusy() const;
  bool MeasureMeters(int64_t *in, int64_t *out);
  void PublishUnit();
  void NoticeInsertions(const TavoData &before);

  void Advance();
  void StepOpening();
  void StepAccepting();
  void StepCharging();
  void StepPaying();
  void StepEnding();
  void StepRecover();
  // Settling the unit's trade after an open: an operation the journal left
  // running, or a trade the unit carries that nothing journaled explains.
  void StepSettle();
  void SettleRetry(uint16_t code, const char *what);
  void SettleStuck(uint16_t code, const std::string &detail, uint32_t owed);
  bool SaveOp();
  bool OwedInIncident();
  void FinishOp(const std::string &state);
  bool Ready(Answer *refusal);
  void OpenIncident(int64_t saleId, uint16_t code, const std::string &detail,
                    uint32_t owed);
  void CheckJournal();
  bool Save();  // false when the journal could not be written
  void Enter(const std::string &state, const std::string &step = "");
  void Finish(const std::string &state);
  void Fail(uint16_t code, const std::string &detail, uint32_t owed);
  // What to do after a failure code; false when the sale failed.
  bool OnCode(uint16_t code, const char *what);
  void Crash(const std::string &point);
  boost::json::object SaleJson(const SaleRecord &r) const;

  uint32_t Call(const char *name, const std::function<uint32_t()> &fn);

  boost::asio::io_context &io_;
  boost::asio::steady_timer timer_;
  Journal &journal_;
  Metrics &metrics_;
  WorkerOptions options_;
  EventSink events_;
  Exports x_;
  VirtualUnit vu_;

  bool open_ = false;
  uint32_t handle_ = 0;
  std::chrono::steady_clock::time_point nextOpenTry_{};
  std::chrono::steady_clock::time_point nextIdlePoll_{};
  int failedPolls_ = 0;
  PcbData pcb_{};
  TavoData tavo_{};
  bool tavoKnown_ = false;
  uint16_t lastCode_ = 0;
  std::optional<Sale> sale_;
  // The trade found at the last open has been settled (or was none); until
  // then no sale or payout begins.
  bool settled_ = false;
  bool settleStuck_ = false;     // settling failed: an incident is open
  std::optional<Operation> op_;  // the operation being settled
  Operation finishedOp_;         // the last one finished
  std::string settleStep_;
  int settleTries_ = 0;
  int unjournaledIncidents_ = 0;  // incidents the journal could not take
  std::atomic<bool> journalFaulted_{false};
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stopBy_{};
  std::function<void()> stopped_;

  mutable std::mutex snapshotMutex_;
  std::shared_ptr<const std::string> snapshot_;
};

}  // namespace tavod

#endif  // TAVOD_WORKER_H
