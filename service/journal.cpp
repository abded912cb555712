#include "journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>

namespace tavod {
namespace {

constexpr const char *kSchema = R"(
CREATE TABLE IF NOT EXISTS sales (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  price INTEGER NOT NULL,
  state TEXT NOT NULL,
  step TEXT NOT NULL DEFAULT '',
  cancel_requested INTEGER NOT NULL DEFAULT 0,
  credit INTEGER NOT NULL DEFAULT 0,
  inserted INTEGER NOT NULL DEFAULT 0,
  charged INTEGER NOT NULL DEFAULT 0,
  paid INTEGER NOT NULL DEFAULT 0,
  base_coins_in INTEGER, base_notes_in INTEGER,
  base_coins_out INTEGER, base_notes_out INTEGER,
  last_code INTEGER NOT NULL DEFAULT 0,
  detail TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL,
  frames INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS incidents (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  sale_id INTEGER,
  created_ms INTEGER NOT NULL,
  amount INTEGER NOT NULL,
  code INTEGER NOT NULL,
  detail TEXT NOT NULL,
  open INTEGER NOT NULL DEFAULT 1
);
CREATE TABLE IF NOT EXISTS operations (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  kind TEXT NOT NULL,
  amount INTEGER NOT NULL DEFAULT 0,
  state TEXT NOT NULL,
  step TEXT NOT NULL DEFAULT '',
  paid INTEGER NOT NULL DEFAULT 0,
  found INTEGER NOT NULL DEFAULT 0,
  base_coins_in INTEGER, base_notes_in INTEGER,
  base_coins_out INTEGER, base_notes_out INTEGER,
  last_code INTEGER NOT NULL DEFAULT 0,
  detail TEXT NOT NULL DEFAULT '',
  created_ms INTEGER NOT NULL,
  updated_ms INTEGER NOT NULL
);
)";

constexpr const char *kOperationColumns =
    "id, kind, amount, state, step, paid, found, base_coins_in, "
    "base_notes_in, base_coins_out, base_notes_out, last_code, detail, "
    "created_ms, updated_ms";

constexpr const char *kSaleColumns =
    "id, price, state, step, cancel_requested, credit, inserted, charged, "
    "paid, base_coins_in, base_notes_in, base_coins_out, base_notes_out, "
    "last_code, detail, created_ms, updated_ms, frames";

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3 *db, const std::string &sql) {
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr);
  }
  ~Statement() { sqlite3_finalize(s_); }
  sqlite3_stmt *get() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  sqlite3_stmt *s_ = nullptr;
};

SaleRecord ReadSale(sqlite3_stmt *s) {
  SaleRecord r;
  auto u = [s](int i) {
    return static_cast<uint32_t>(sqlite3_column_int64(s, i));
  };
  auto text = [s](int i) {
    const unsigned char *t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  };
  r.id = sqlite3_column_int64(s, 0);
  r.price = u(1);
  r.state = text(2);
  r.step = text(3);
  r.cancelRequested = sqlite3_column_int(s, 4) != 0;
  r.credit = u(5);
  r.inserted = u(6);
  r.charged = u(7);
  r.paid = u(8);
  r.meterBaseKnown = sqlite3_column_type(s, 9) != SQLITE_NULL;
  for (int i = 0; i < 4; ++i) r.meterBase[i] = u(9 + i);
  r.lastCode = static_cast<uint16_t>(sqlite3_column_int(s, 13));
  r.detail = text(14);
  r.createdMs = sqlite3_column_int64(s, 15);
  r.updatedMs = sqlite3_column_int64(s, 16);
  r.frames = u(17);
  return r;
}

void BindSale(sqlite3_stmt *s, const SaleRecord &r) {
  sqlite3_bind_int64(s, 1, r.price);
  sqlite3_bind_text(s, 2, r.state.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 3, r.step.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(s, 4, r.cancelRequested ? 1 : 0);
  sqlite3_bind_int64(s, 5, r.credit);
  sqlite3_bind_int64(s, 6, r.inserted);
  sqlite3_bind_int64(s, 7, r.charged);
  sqlite3_bind_int64(s, 8, r.paid);
  for (int i = 0; i < 4; ++i) {
    if (r.meterBaseKnown) {
      sqlite3_bind_int64(s, 9 + i, r.meterBase[i]);
    } else {
      sqlite3_bind_null(s, 9 + i);
    }
  }
  sqlite3_bind_int(s, 13, r.lastCode);
  sqlite3_bind_text(s, 14, r.detail.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s, 15, r.createdMs);
  sqlite3_bind_int64(s, 16, r.updatedMs);
  sqlite3_bind_int64(s, 17, r.frames);
}

Operation ReadOperation(sqlite3_stmt *s) {
  Operation o;
  auto u = [s](int i) {
    return static_cast<uint32_t>(sqlite3_column_int64(s, i));
  };
  auto text = [s](int i) {
    const unsigned char *t = sqlite3_column_text(s, i);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  };
  o.id = sqlite3_column_int64(s, 0);
  o.kind = text(1);
  o.amount = u(2);
  o.state = text(3);
  o.step = text(4);
  o.paid = u(5);
  o.found = u(6);
  o.meterBaseKnown = sqlite3_column_type(s, 7) != SQLITE_NULL;
  for (int i = 0; i < 4; ++i) o.meterBase[i] = u(7 + i);
  o.lastCode = static_cast<uint16_t>(sqlite3_column_int(s, 11));
  o.detail = text(12);
  o.createdMs = sqlite3_column_int64(s, 13);
  o.updatedMs = sqlite3_column_int64(s, 14);
  return o;
}

void BindOperation(sqlite3_stmt *s, const Operation &o) {
  sqlite3_bind_text(s, 1, o.kind.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s, 2, o.amount);
  sqlite3_bind_text(s, 3, o.state.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 4, o.step.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s, 5, o.paid);
  sqlite3_bind_int64(s, 6, o.found);
  for (int i = 0; i < 4; ++i) {
    if (o.meterBaseKnown) {
      sqlite3_bind_int64(s, 7 + i, o.meterBase[i]);
    } else {
      sqlite3_bind_null(s, 7 + i);
    }
  }
  sqlite3_bind_int(s, 11, o.lastCode);
  sqlite3_bind_text(s, 12, o.detail.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s, 13, o.createdMs);
  sqlite3_bind_int64(s, 14, o.updatedMs);
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Journal::~Journal() { sqlite3_close(db_); }

bool Journal::Exec(const char *sql) {
  char *message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) {
    return true;
  }
  error_ = message ? message : "sqlite error";
  sqlite3_free(message);
  return false;
}

bool Journal::Open(const std::string &path, size_t reserveBytes,
                   std::string *error) {
  reservePath_ = path + ".reserve";
  reserveBytes_ = reserveBytes;
  reserveKept_ = false;
  KeepReserve();
  if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
    *error = "cannot open the journal " + path + ": " + sqlite3_errmsg(db_);
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  // WAL: a commit is one append to the log; FULL: the log is synced at
  // every commit, so a step journaled is a step that survives a power cut.
  if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;") ||
      !Exec(kSchema)) {
    *error = "cannot set up the journal " + path + ": " + error_;
    return false;
  }
  return true;
}

bool Journal::KeepReserve() {
  if (reserveKept_) return true;
  int fd = ::open(reservePath_.c_str(),
                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  // Blocks allocated, not a sparse file: they must be there to give back.
  bool ok = ::posix_fallocate(fd, 0, static_cast<off_t>(reserveBytes_)) == 0 &&
            ::fsync(fd) == 0;
  ::close(fd);
  if (!ok) ::unlink(reservePath_.c_str());
  reserveKept_ = ok;
  return ok;
}

bool Journal::Write(sqlite3_stmt *s) {
  int rc = sqlite3_step(s);
  if ((rc & 0xFF) == SQLITE_FULL && reserveKept_) {
    // The disk is full: the reserve's blocks go back to the file system so
    // that this write, and the rest of the sale under way, find room.
    ::unlink(reservePath_.c_str());
    reserveKept_ = false;
    sqlite3_reset(s);
    rc = sqlite3_step(s);
  }
  if (rc != SQLITE_DONE) {
    error_ = sqlite3_errmsg(db_);
    writeFailed_ = true;
    ++writeErrors_;
    return false;
  }
  writeFailed_ = false;
  return true;
}

bool Journal::Insert(SaleRecord *sale) {
  Statement s(db_,
              "INSERT INTO sales (price, state, step, cancel_requested, "
              "credit, inserted, charged, paid, base_coins_in, base_notes_in, "
              "base_coins_out, base_notes_out, last_code, detail, created_ms, "
              "updated_ms, frames) VALUES "
              "(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17)");
  if (!s) return false;
  BindSale(s.get(), *sale);
  if (!Write(s.get())) return false;
  sale->id = sqlite3_last_insert_rowid(db_);
  return true;
}

bool Journal::Save(const SaleRecord &sale) {
  Statement s(db_,
              "UPDATE sales SET price=?1, state=?2, step=?3, "
              "cancel_requested=?4, credit=?5, inserted=?6, charged=?7, "
              "paid=?8, base_coins_in=?9, base_notes_in=?10, "
              "base_coins_out=?11, base_notes_out=?12, last_code=?13, "
              "detail=?14, created_ms=?15, updated_ms=?16, frames=?17 "
              "WHERE id=?18");
  if (!s) return false;
  BindSale(s.get(), sale);
  sqlite3_bind_int64(s.get(), 18, sale.id);
  return Write(s.get());
}

std::optional<SaleRecord> Journal::Sale(int64_t id) {
  Statement s(
      db_, std::string("SELECT ") + kSaleColumns + " FROM sales WHERE id=?1");
  if (!s) return std::nullopt;
  sqlite3_bind_int64(s.get(), 1, id);
  if (sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return ReadSale(s.get());
}

std::optional<SaleRecord> Journal::Unfinished() {
  Statement s(db_, std::string("SELECT ") + kSaleColumns +
                       " FROM sales WHERE state NOT IN "
                       "('done','cancelled','failed') ORDER BY id LIMIT 1");
  if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return ReadSale(s.get());
}

std::vector<SaleRecord> Journal::RecentSales(int limit) {
  std::vector<SaleRecord> out;
  Statement s(db_, std::string("SELECT ") + kSaleColumns +
                       " FROM sales ORDER BY id DESC LIMIT ?1");
  if (!s) return out;
  sqlite3_bind_int(s.get(), 1, limit);
  while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(ReadSale(s.get()));
  return out;
}

bool Journal::AddIncident(Incident *incident) {
  Statement s(db_,
              "INSERT INTO incidents (sale_id, created_ms, amount, code, "
              "detail, open) VALUES (?1,?2,?3,?4,?5,1)");
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, incident->saleId);
  sqlite3_bind_int64(s.get(), 2, incident->createdMs);
  sqlite3_bind_int64(s.get(), 3, incident->amount);
  sqlite3_bind_int(s.get(), 4, incident->code);
  sqlite3_bind_text(s.get(), 5, incident->detail.c_str(), -1, SQLITE_TRANSIENT);
  if (!Write(s.get())) return false;
  incident->id = sqlite3_last_insert_rowid(db_);
  return true;
}

std::vector<Incident> Journal::Incidents(bool openOnly) {
  std::vector<Incident> out;
  Statement s(db_, std::string("SELECT id, sale_id, created_ms, amount, code, "
                               "detail, open FROM incidents") +
                       (openOnly ? " WHERE open=1" : "") + " ORDER BY id");
  if (!s) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    Incident i;
    i.id = sqlite3_column_int64(s.get(), 0);
    i.saleId = sqlite3_column_int64(s.get(), 1);
    i.createdMs = sqlite3_column_int64(s.get(), 2);
    i.amount = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 3));
    i.code = static_cast<uint16_t>(sqlite3_column_int(s.get(), 4));
    const unsigned char *t = sqlite3_column_text(s.get(), 5);
    i.detail = t ? reinterpret_cast<const char *>(t) : "";
    i.open = sqlite3_column_int(s.get(), 6) != 0;
    out.push_back(i);
  }
  return out;
}

bool Journal::CloseIncident(int64_t id) {
  Statement s(db_, "UPDATE incidents SET open=0 WHERE id=?1 AND open=1");
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, id);
  return Write(s.get()) && sqlite3_changes(db_) == 1;
}

bool Journal::InsertOperation(Operation *op) {
  Statement s(db_,
              "INSERT INTO operations (kind, amount, state, step, paid, found, "
              "base_coins_in, base_notes_in, base_coins_out, base_notes_out, "
              "last_code, detail, created_ms, updated_ms) VALUES "
              "(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14)");
  if (!s) return false;
  BindOperation(s.get(), *op);
  if (!Write(s.get())) return false;
  op->id = sqlite3_last_insert_rowid(db_);
  return true;
}

bool Journal::SaveOperation(const Operation &op) {
  Statement s(db_,
              "UPDATE operations SET kind=?1, amount=?2, state=?3, step=?4, "
              "paid=?5, found=?6, base_coins_in=?7, base_notes_in=?8, "
              "base_coins_out=?9, base_notes_out=?10, last_code=?11, "
              "detail=?12, created_ms=?13, updated_ms=?14 WHERE id=?15");
  if (!s) return false;
  BindOperation(s.get(), op);
  sqlite3_bind_int64(s.get(), 15, op.id);
  return Write(s.get());
}

std::optional<Operation> Journal::UnfinishedOperation() {
  Statement s(db_, std::string("SELECT ") + kOperationColumns +
                       " FROM operations WHERE state='running' "
                       "ORDER BY id LIMIT 1");
  if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return std::nullopt;
  return ReadOperation(s.get());
}

std::vector<Operation> Journal::RecentOperations(int limit) {
  std::vector<Operation> out;
  Statement s(db_, std::string("SELECT ") + kOperationColumns +
                       " FROM operations ORDER BY id DESC LIMIT ?1");
  if (!s) return out;
  sqlite3_bind_int(s.get(), 1, limit);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    out.push_back(ReadOperation(s.get()));
  }
  return out;
}

}  // namespace tavod
