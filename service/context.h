// What the worker's parts share (the sale's state machine, the operations
// and the settling of the unit's trade, the virtual unit's jobs): the
// journal, the figures, the events, the options and the unit. All of it is
// used on the worker's thread only, but for the journal's fault flag.
#ifndef TAVOD_CONTEXT_H
#define TAVOD_CONTEXT_H

#include <atomic>
#include <cstdint>
#include <string>

#include "journal.h"
#include "metrics.h"
#include "stock.h"
#include "tally.h"
#include "unit_poller.h"

namespace tavod {

// Calls of one step answered with a failure before the step gives up.
constexpr int kMaxRetries = 20;

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
  StockMarks stockMarks = DefaultStockMarks();
};

struct Context {
  Context(Journal &j, Metrics &m, WorkerOptions o, EventSink e)
      : journal(j),
        metrics(m),
        options(std::move(o)),
        events(std::move(e)),
        unit(m, events),
        stock(options.stockMarks, m, events) {}

  Journal &journal;
  Metrics &metrics;
  const WorkerOptions options;
  EventSink events;
  UnitPoller unit;
  StockWatch stock;
  // SIGTERM: no new sale or payout begins.
  bool stopping = false;
  std::atomic<bool> journalFaulted{false};
  int unjournaledIncidents = 0;  // incidents the journal could not take
  // The counts of the trade CloseTrade is closing (tally.h).
  ClosingCounts closing;

  // The test hook: dies here when told to.
  void Crash(const std::string &point) const;
  void OpenIncident(int64_t saleId, uint16_t code, const std::string &detail,
                    uint32_t owed);
  // The open incidents in the figures.
  void CountIncidents();
  // An open incident says the customer may be owed money.
  bool OwedInIncident();
  // The journal's fault, as /healthz and the metrics show it. The reserve
  // is made again once the disk has room.
  void CheckJournal();
};

}  // namespace tavod

#endif  // TAVOD_CONTEXT_H
