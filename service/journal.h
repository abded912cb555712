// The journal: every sale and every incident, in an SQLite database in WAL
// mode with synchronous=FULL, so that a step is on disk before the money
// moves. A sale is written before each call that can move money and after
// it; after a crash the service reads the open sale back and finishes it.
#ifndef TAVOD_JOURNAL_H
#define TAVOD_JOURNAL_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace tavod {

struct SaleRecord {
  int64_t id = 0;
  uint32_t price = 0;
  std::string state;  // opening, accepting, charging, paying_change,
                      // cancelling, ending, done, cancelled, failed
  std::string step;   // finer point inside the state (see worker.cpp)
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

  bool Finished() const {
    return state == "done" || state == "cancelled" || state == "failed";
  }
};

struct Incident {
  int64_t id = 0;
  int64_t saleId = 0;
  int64_t createdMs = 0;
  uint32_t amount = 0;  // money the customer may still be owed
  uint16_t code = 0;
  std::string detail;
  bool open = true;
};

class Journal {
 public:
  Journal() = default;
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  bool Open(const std::string &path, std::string *error);
  // Inserts the sale and sets its id.
  bool Insert(SaleRecord *sale);
  bool Save(const SaleRecord &sale);
  std::optional<SaleRecord> Sale(int64_t id);
  // The sale that was not finished, if any (at most one).
  std::optional<SaleRecord> Unfinished();
  std::vector<SaleRecord> RecentSales(int limit);
  bool AddIncident(Incident *incident);
  std::vector<Incident> Incidents(bool openOnly);
  bool CloseIncident(int64_t id);
  const std::string &LastError() const { return error_; }

 private:
  bool Exec(const char *sql);
  sqlite3 *db_ = nullptr;
  std::string error_;
};

int64_t NowMs();

}  // namespace tavod

#endif  // TAVOD_JOURNAL_H
