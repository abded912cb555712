// The worker: the one thread that owns the unit. Every call of the library
// is made here, one after the other, so that no client ever meets the
// library's busy codes; requests reach it as jobs posted to its executor,
// and a timer on the same executor polls the unit and drives the sale.
// The work itself is done by its parts: the unit poller, the sale's state
// machine, the operations (and the settling of the unit's trade at open)
// and the virtual unit's jobs.
#ifndef TAVOD_WORKER_H
#define TAVOD_WORKER_H

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <string>

#include "answer.h"
#include "context.h"
#include "operations.h"
#include "sale.h"
#include "virtual_jobs.h"

namespace tavod {

class Worker {
 public:
  Worker(boost::asio::io_context &io, Journal &journal, Metrics &metrics,
         WorkerOptions options, EventSink events);

  // Loads the library, opens the unit, finishes a sale left by an earlier
  // run and starts polling. False (with the reason) when the library or
  // provider cannot be loaded at all.
  bool Start(std::string *error);
  bool IsVirtual() const { return c_.unit.virtualUnit().present; }

  // Jobs; run on the worker's executor only.
  Answer CreateSale(uint32_t price);
  Answer GetSale(int64_t id) { return sales_.Get(id); }
  Answer ListSales(const SaleQuery &q) { return sales_.List(q); }
  Answer SaleSteps(int64_t id);
  Answer DayReport(int64_t fromMs, int64_t toMs);
  Answer CancelSale(int64_t id) { return sales_.Cancel(id); }
  Answer Payout(uint32_t amount);
  Answer Display(uint32_t value);
  Answer Beep();
  Answer ResetUnit();
  Answer ListIncidents(bool openOnly) {
    return operations_.ListIncidents(openOnly);
  }
  Answer ResolveIncident(int64_t id, const std::string &note) {
    return operations_.ResolveIncident(id, note);
  }
  Answer ListOperations() { return operations_.List(); }
  Answer Stock() { return Ok(c_.stock.View(c_.unit.Units())); }
  Answer OpenRefill();
  Answer GetRefill(int64_t id) { return operations_.GetRefill(id); }
  Answer CloseRefill(int64_t id) { return operations_.CloseRefill(id); }
  Answer Collect(const std::array<uint32_t, 5> &keep, bool confirm);
  Answer VirtualInsert(bool note, int value) {
    return virtual_.Insert(note, value);
  }
  Answer VirtualFault(const std::string &kind, bool on) {
    return virtual_.Fault(kind, on);
  }
  Answer VirtualMoney() { return virtual_.Money(); }
  // Closes the unit (the board stops, acceptance goes off) before exit.
  void Shutdown();
  // SIGTERM: no new sale or payout; a sale under way is finished, or paid
  // back when nothing was charged, then the unit is closed and `stopped`
  // runs (on the worker's thread). At the stop time-out the unit is closed
  // whatever remains, for the journal and the next start to finish.
  void Stop(std::function<void()> stopped);

  // The journal's state for /healthz; safe from any thread.
  bool JournalFaulted() const { return c_.journalFaulted.load(); }
  // The unit's last known state as JSON text; safe from any thread.
  std::shared_ptr<const std::string> UnitJson() const { return c_.unit.Json(); }

 private:
  void Schedule(int ms);
  void Tick();
  bool OpenUnit();
  // A sale that is not under way yet refused while one is.
  bool SaleRunning(const char *what, Answer *refusal) const;

  boost::asio::steady_timer timer_;
  Context c_;
  Operations operations_;
  VirtualJobs virtual_;
  SaleMachine sales_;
  std::chrono::steady_clock::time_point stopBy_{};
  std::function<void()> stopped_;
};

}  // namespace tavod

#endif  // TAVOD_WORKER_H
