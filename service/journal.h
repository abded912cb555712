// The journal: every sale, every other operation that moves money (operator
// payouts, resets, trades settled at start) and every incident, in an SQLite
// database in WAL mode with synchronous=FULL, so that a step is on disk
// before the money moves. A sale or operation is written before each call
// that can move money and after it; after a crash the service reads the
// open one back and finishes it.
//
// Beside the database the journal keeps a reserve: a file of preallocated
// blocks that it gives back to the file system the first time a write finds
// the disk full. That space lets the sale under way be journaled to its end
// (its money paid back) instead of stranding the customer's money; the
// journal counts as faulted until the reserve can be made again.
#ifndef TAVOD_JOURNAL_H
#define TAVOD_JOURNAL_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sale_state.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tavod {

struct SaleRecord {
  int64_t id = 0;
  uint32_t price = 0;
  SaleState state = SaleState::kOpening;
  SaleStep step = SaleStep::kNone;  // finer point inside the state
  bool cancelRequested = false;
  uint32_t credit = 0;    // the customer's credit as last read
  uint32_t inserted = 0;  // money inserted as last read
  uint32_t charged = 0;   // amount charged on the board
  uint32_t paid = 0;      // paid back or as change
  // The board's money meters (in coins, in notes, out coins, out notes) at
  // the start of the sale: the base against which a restart measures what
  // went in and out while the service was away.
  uint32_t meterBase[4] = {0, 0, 0, 0};
  bool meterBaseKnown = false;
  uint16_t lastCode = 0;
  std::string detail;
  int64_t createdMs = 0;
  int64_t updatedMs = 0;
  uint32_t frames = 0;  // frames exchanged with the unit, when counted

  bool Finished() const { return IsFinished(state); }
};

// An operation other than a sale that moves money or may leave a trade in
// the unit: an operator payout, a reset, or the settling of a trade the unit
// carried that no journaled sale or operation explains.
struct Operation {
  int64_t id = 0;
  std::string kind;     // payout, reset, settle
  uint32_t amount = 0;  // payout: the amount asked for
  std::string state;    // running, done, short (paid less than asked), failed
  std::string step;     // finer point while running (see recovery.cpp)
  uint32_t paid = 0;    // paid out by the units
  uint32_t found = 0;   // settle: the credit found in the unexplained trade
  uint32_t meterBase[4] = {0, 0, 0, 0};  // as SaleRecord::meterBase
  bool meterBaseKnown = false;
  uint16_t lastCode = 0;
  std::string detail;
  int64_t createdMs = 0;
  int64_t updatedMs = 0;

  bool Finished() const { return state != "running"; }
};

// The coins and notes an operation moved, by denomination (10, 50, 100,
// 500, 1000): what a refill counted in, what a collection paid out. Kept
// in a table of their own beside the operations, one row a denomination.
struct DenominationCounts {
  uint32_t in[5] = {0, 0, 0, 0, 0};
  uint32_t out[5] = {0, 0, 0, 0, 0};
  bool operator==(const DenominationCounts &) const = default;
};

struct Incident {
  int64_t id = 0;
  int64_t saleId = 0;
  int64_t createdMs = 0;
  uint32_t amount = 0;  // money the customer may still be owed
  uint16_t code = 0;
  std::string detail;
  bool open = true;
  int64_t resolvedMs = 0;  // 0: open, or resolved before this was kept
  std::string note;        // the operator's, on resolving
};

// The denominations the unit handles, in the order of every per-denomination
// array of the journal: the coins of 10, 50, 100, 500 and the note of 1000.
constexpr int kDenominations = 5;
constexpr uint32_t kDenominationValues[kDenominations] = {10, 50, 100, 500,
                                                          1000};

// The money of one closed trade per denomination: what the units counted
// in and out in it, and the stock they held once it was closed. The day
// report reconciles the stock from one tally to the next. `kind` is "sale",
// an operation's kind, or "stock" (a trade that moved nothing, closed when
// the unit's trade was settled: a reading of the stock).
struct Tally {
  int64_t id = 0;
  int64_t atMs = 0;
  std::string kind;
  int64_t saleId = 0;
  int64_t operationId = 0;
  uint32_t in[kDenominations] = {};
  uint32_t out[kDenominations] = {};
  uint32_t stock[kDenominations] = {};
};

// One row of a sale's history: the sale's row as each update left it.
struct SaleStepRow {
  int64_t atMs = 0;
  std::string state;
  std::string step;
  uint32_t credit = 0;
  uint32_t inserted = 0;
  uint32_t charged = 0;
  uint32_t paid = 0;
  uint16_t code = 0;
  std::string detail;
};

// What GET /v1/sales selects: newest first, below `before` when set.
// Plain values only: it is captured by the jobs the routes post to the
// worker (see VirtualFault in routes.cpp).
struct SaleQuery {
  char state[16] = {};           // empty: any
  int64_t fromMs = 0, toMs = 0;  // created in [from, to); 0: open-ended
  int64_t minPrice = -1, maxPrice = -1;
  int64_t before = 0;
  int limit = 50;
};

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // Opens the database at `path` and makes its reserve (`path` +
  // ".reserve", `reserveBytes` long).
  bool Open(const std::string &path, size_t reserveBytes, std::string *error);
  // Inserts the sale and sets its id.
  bool Insert(SaleRecord *sale);
  bool Save(const SaleRecord &sale);
  std::optional<SaleRecord> Sale(int64_t id);
  // The sale that was not finished, if any (at most one).
  std::optional<SaleRecord> Unfinished();
  std::vector<SaleRecord> RecentSales(int limit);
  bool AddIncident(Incident *incident);
  std::vector<Incident> Incidents(bool openOnly);
  // Closes an open incident with the operator's note.
  bool CloseIncident(int64_t id, const std::string &note = "");
  bool InsertOperation(Operation *op);
  bool SaveOperation(const Operation &op);
  std::optional<Operation> UnfinishedOperation();
  std::vector<Operation> RecentOperations(int limit);
  std::optional<Operation> OperationById(int64_t id);
  bool SaveOperationCounts(int64_t id, const DenominationCounts &counts);
  DenominationCounts OperationCounts(int64_t id);
  const std::string &LastError() const { return error_; }

  // The report's and the history's (journal_history.cpp).
  bool AddTally(Tally *tally);
  // The tallies in [fromMs, toMs), and the last one before fromMs.
  std::vector<Tally> Tallies(int64_t fromMs, int64_t toMs);
  std::optional<Tally> TallyBefore(int64_t ms);
  std::vector<SaleRecord> FindSales(const SaleQuery &q);
  std::vector<SaleStepRow> SaleSteps(int64_t saleId);
  std::vector<Operation> OperationsBetween(int64_t fromMs, int64_t toMs);
  // Incidents opened or resolved in [fromMs, toMs), or open across it.
  std::vector<Incident> IncidentsAround(int64_t fromMs, int64_t toMs);

  // True from a failed write, or the reserve spent, until the reserve is
  // made again: new sales wait for a journal that can see them through.
  bool Faulted() const { return writeFailed_ || !reserveKept_; }
  uint64_t WriteErrors() const { return writeErrors_; }
  // Makes the reserve again where the disk has room; true when kept.
  bool KeepReserve();

 private:
  bool Exec(const char *sql);
  // Brings a journal an older build made up to this one's tables
  // (journal_history.cpp).
  bool Upgrade();
  // A record of `Table` (below, in journal.cpp) written as a new row (its
  // id set) or over its row, and the rows a query after FROM selects.
  template <typename Table, typename Record>
  bool InsertRow(Record *record);
  template <typename Table, typename Record>
  bool UpdateRow(const Record &record);
  template <typename Table, typename Record = typename Table::Record>
  std::vector<Record> SelectRows(const std::string &rest, int limit = -1);
  // Steps a write statement; on a full disk gives the reserve back and
  // tries once more.
  bool Write(sqlite3_stmt *s);
  sqlite3 *db_ = nullptr;
  std::string error_;
  std::string reservePath_;
  size_t reserveBytes_ = 0;
  bool reserveKept_ = true;
  bool writeFailed_ = false;
  uint64_t writeErrors_ = 0;
};

int64_t NowMs();

}  // namespace tavod

#endif  // TAVOD_JOURNAL_H
