#include "journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <iterator>

#include "journal_sql.h"

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
CREATE TABLE IF NOT EXISTS operation_counts (
  operation_id INTEGER NOT NULL,
  value INTEGER NOT NULL,
  count_in INTEGER NOT NULL DEFAULT 0,
  count_out INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (operation_id, value)
);
)";

// Each table's columns after the id are one list (the tables below) that
// names them, binds a record's values to a statement and reads them back,
// through these three visitors. A meter base is four columns, NULL while
// the base is not known.
constexpr const char *kBaseColumns[4] = {"base_coins_in", "base_notes_in",
                                         "base_coins_out", "base_notes_out"};

struct Names {
  std::vector<std::string> names;
  template <typename T>
  void operator()(const char *name, const T &) {
    names.emplace_back(name);
  }
  void Base(const uint32_t *, bool) {
    names.insert(names.end(), std::begin(kBaseColumns), std::end(kBaseColumns));
  }
};

struct Binder {
  sqlite3_stmt *s;
  int i = 1;
  void operator()(const char *, const std::string &v) {
    sqlite3_bind_text(s, i++, v.c_str(), -1, SQLITE_TRANSIENT);
  }
  void operator()(const char *, SaleState v) {
    sqlite3_bind_text(s, i++, StateName(v), -1, SQLITE_STATIC);
  }
  void operator()(const char *, SaleStep v) {
    sqlite3_bind_text(s, i++, StepName(v), -1, SQLITE_STATIC);
  }
  template <typename T>
  void operator()(const char *, T v) {
    sqlite3_bind_int64(s, i++, static_cast<int64_t>(v));
  }
  void Base(const uint32_t *base, bool known) {
    for (int k = 0; k < 4; ++k, ++i) {
      if (known) {
        sqlite3_bind_int64(s, i, base[k]);
      } else {
        sqlite3_bind_null(s, i);
      }
    }
  }
};

struct Reader {
  sqlite3_stmt *s;
  int i = 1;  // column 0 is the id
  std::string Text() {
    const unsigned char *t = sqlite3_column_text(s, i++);
    return t ? std::string(reinterpret_cast<const char *>(t)) : std::string();
  }
  void operator()(const char *, std::string &v) { v = Text(); }
  void operator()(const char *, SaleState &v) { v = StateNamed(Text()); }
  void operator()(const char *, SaleStep &v) { v = StepNamed(Text()); }
  void operator()(const char *, bool &v) { v = sqlite3_column_int(s, i++); }
  template <typename T>
  void operator()(const char *, T &v) {
    v = static_cast<T>(sqlite3_column_int64(s, i++));
  }
  void Base(uint32_t *base, bool &known) {
    known = sqlite3_column_type(s, i) != SQLITE_NULL;
    for (int k = 0; k < 4; ++k) {
      base[k] = static_cast<uint32_t>(sqlite3_column_int64(s, i++));
    }
  }
};

struct SaleRows {
  using Record = SaleRecord;
  static constexpr const char *kName = "sales";
  template <typename Visit, typename R>
  static void Columns(Visit &v, R &r) {
    v("price", r.price);
    v("state", r.state);
    v("step", r.step);
    v("cancel_requested", r.cancelRequested);
    v("credit", r.credit);
    v("inserted", r.inserted);
    v("charged", r.charged);
    v("paid", r.paid);
    v.Base(r.meterBase, r.meterBaseKnown);
    v("last_code", r.lastCode);
    v("detail", r.detail);
    v("created_ms", r.createdMs);
    v("updated_ms", r.updatedMs);
    v("frames", r.frames);
  }
};

struct OperationRows {
  using Record = Operation;
  static constexpr const char *kName = "operations";
  template <typename Visit, typename R>
  static void Columns(Visit &v, R &o) {
    v("kind", o.kind);
    v("amount", o.amount);
    v("state", o.state);
    v("step", o.step);
    v("paid", o.paid);
    v("found", o.found);
    v.Base(o.meterBase, o.meterBaseKnown);
    v("last_code", o.lastCode);
    v("detail", o.detail);
    v("created_ms", o.createdMs);
    v("updated_ms", o.updatedMs);
  }
};

struct IncidentRows {
  using Record = Incident;
  static constexpr const char *kName = "incidents";
  template <typename Visit, typename R>
  static void Columns(Visit &v, R &i) {
    v("sale_id", i.saleId);
    v("created_ms", i.createdMs);
    v("amount", i.amount);
    v("code", i.code);
    v("detail", i.detail);
    v("open", i.open);
    v("resolved_ms", i.resolvedMs);
    v("note", i.note);
  }
};

template <typename Table>
std::vector<std::string> ColumnNames() {
  Names n;
  typename Table::Record r;
  Table::Columns(n, r);
  return n.names;
}

template <typename T>
std::optional<T> First(std::vector<T> rows) {
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
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
      !Exec(kSchema) || !Upgrade()) {
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

template <typename Table, typename Record>
bool Journal::InsertRow(Record *record) {
  std::string names, values;
  int i = 0;
  for (const std::string &name : ColumnNames<Table>()) {
    std::string separator = i++ ? ", " : "";
    names += separator + name;
    values += separator + "?" + std::to_string(i);
  }
  Statement s(db_, std::string("INSERT INTO ") + Table::kName + " (" + names +
                       ") VALUES (" + values + ")");
  if (!s) return false;
  Binder b{s.get()};
  Table::Columns(b, *record);
  if (!Write(s.get())) return false;
  record->id = sqlite3_last_insert_rowid(db_);
  return true;
}

template <typename Table, typename Record>
bool Journal::UpdateRow(const Record &record) {
  std::string sets;
  int i = 0;
  for (const std::string &name : ColumnNames<Table>()) {
    std::string separator = i++ ? ", " : "";
    sets += separator + name + "=?" + std::to_string(i);
  }
  Statement s(db_, std::string("UPDATE ") + Table::kName + " SET " + sets +
                       " WHERE id=?" + std::to_string(i + 1));
  if (!s) return false;
  Binder b{s.get()};
  Table::Columns(b, record);
  sqlite3_bind_int64(s.get(), b.i, record.id);
  return Write(s.get());
}

template <typename Table, typename Record>
std::vector<Record> Journal::SelectRows(const std::string &rest, int limit) {
  std::vector<Record> out;
  std::string names = "id";
  for (const std::string &name : ColumnNames<Table>()) names += ", " + name;
  Statement s(db_, "SELECT " + names + " FROM " + Table::kName + " " + rest +
                       (limit >= 0 ? " LIMIT " + std::to_string(limit) : ""));
  if (!s) return out;
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    Record r;
    r.id = sqlite3_column_int64(s.get(), 0);
    Reader reader{s.get()};
    Table::Columns(reader, r);
    out.push_back(std::move(r));
  }
  return out;
}

bool Journal::Insert(SaleRecord *sale) { return InsertRow<SaleRows>(sale); }

bool Journal::Save(const SaleRecord &sale) { return UpdateRow<SaleRows>(sale); }

std::optional<SaleRecord> Journal::Sale(int64_t id) {
  return First(SelectRows<SaleRows>("WHERE id=" + std::to_string(id)));
}

std::optional<SaleRecord> Journal::Unfinished() {
  return First(SelectRows<SaleRows>(
      "WHERE state NOT IN ('done','cancelled','failed') ORDER BY id", 1));
}

std::vector<SaleRecord> Journal::RecentSales(int limit) {
  return SelectRows<SaleRows>("ORDER BY id DESC", limit);
}

bool Journal::AddIncident(Incident *incident) {
  incident->open = true;
  return InsertRow<IncidentRows>(incident);
}

std::vector<Incident> Journal::Incidents(bool openOnly) {
  return SelectRows<IncidentRows>(std::string(openOnly ? "WHERE open=1 " : "") +
                                  "ORDER BY id");
}

bool Journal::CloseIncident(int64_t id, const std::string &note) {
  Statement s(db_,
              "UPDATE incidents SET open=0, resolved_ms=?2, note=?3 "
              "WHERE id=?1 AND open=1");
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, id);
  sqlite3_bind_int64(s.get(), 2, NowMs());
  sqlite3_bind_text(s.get(), 3, note.c_str(), -1, SQLITE_TRANSIENT);
  return Write(s.get()) && sqlite3_changes(db_) == 1;
}

bool Journal::InsertOperation(Operation *op) {
  return InsertRow<OperationRows>(op);
}

bool Journal::SaveOperation(const Operation &op) {
  return UpdateRow<OperationRows>(op);
}

std::optional<Operation> Journal::UnfinishedOperation() {
  return First(
      SelectRows<OperationRows>("WHERE state='running' ORDER BY id", 1));
}

std::vector<Operation> Journal::RecentOperations(int limit) {
  return SelectRows<OperationRows>("ORDER BY id DESC", limit);
}

std::optional<Operation> Journal::OperationById(int64_t id) {
  return First(SelectRows<OperationRows>("WHERE id=" + std::to_string(id)));
}

bool Journal::SaveOperationCounts(int64_t id,
                                  const DenominationCounts &counts) {
  // One statement, one commit, for the five rows.
  std::string sql =
      "INSERT OR REPLACE INTO operation_counts (operation_id, value, "
      "count_in, count_out) VALUES ";
  for (int k = 0; k < 5; ++k) {
    sql += std::string(k ? ", " : "") + "(?1, " +
           std::to_string(kDenominationValues[k]) + ", " +
           std::to_string(counts.in[k]) + ", " + std::to_string(counts.out[k]) +
           ")";
  }
  Statement s(db_, sql);
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, id);
  return Write(s.get());
}

DenominationCounts Journal::OperationCounts(int64_t id) {
  DenominationCounts counts;
  Statement s(db_,
              "SELECT value, count_in, count_out FROM operation_counts "
              "WHERE operation_id=?1");
  if (!s) return counts;
  sqlite3_bind_int64(s.get(), 1, id);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    auto value = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 0));
    for (int k = 0; k < 5; ++k) {
      if (kDenominationValues[k] != value) continue;
      counts.in[k] = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 1));
      counts.out[k] = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 2));
    }
  }
  return counts;
}

std::vector<SaleRecord> Journal::FindSales(const SaleQuery &q) {
  std::string where;
  auto add = [&where](const std::string &condition) {
    where += (where.empty() ? "WHERE " : " AND ") + condition;
  };
  // The state is one of the names the sale's states have (checked by the
  // route); the rest are numbers.
  std::string state = q.state;
  if (!state.empty() &&
      state.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") ==
          std::string::npos) {
    add("state='" + state + "'");
  }
  if (q.fromMs) add("created_ms>=" + std::to_string(q.fromMs));
  if (q.toMs) add("created_ms<" + std::to_string(q.toMs));
  if (q.minPrice >= 0) add("price>=" + std::to_string(q.minPrice));
  if (q.maxPrice >= 0) add("price<=" + std::to_string(q.maxPrice));
  if (q.before > 0) add("id<" + std::to_string(q.before));
  return SelectRows<SaleRows>(where + " ORDER BY id DESC", q.limit);
}

std::vector<Operation> Journal::OperationsBetween(int64_t fromMs,
                                                  int64_t toMs) {
  return SelectRows<OperationRows>(
      "WHERE created_ms>=" + std::to_string(fromMs) + " AND created_ms<" +
      std::to_string(toMs) + " ORDER BY id");
}

std::vector<Incident> Journal::IncidentsAround(int64_t fromMs, int64_t toMs) {
  std::string from = std::to_string(fromMs), to = std::to_string(toMs);
  return SelectRows<IncidentRows>("WHERE created_ms<" + to +
                                  " AND (open=1 OR " + "resolved_ms>=" + from +
                                  " OR created_ms>=" + from + ") ORDER BY id");
}

}  // namespace tavod
