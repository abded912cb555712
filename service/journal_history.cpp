// The journal's tables for the day report and the history: the tally of
// each closed trade (money in and out per denomination, the stock after
// it) and every step of each sale, and the columns an incident resolved
// with a note needs. A journal an older build made gets them here: new
// tables are created, new columns added with ALTER TABLE (NULL or empty in
// the old rows: not known).
#include <sqlite3.h>

#include "journal.h"
#include "journal_sql.h"

namespace tavod {
namespace {

constexpr const char *kTables = R"(
CREATE TABLE IF NOT EXISTS tallies (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at_ms INTEGER NOT NULL,
  kind TEXT NOT NULL,
  sale_id INTEGER,
  operation_id INTEGER,
  in_10 INTEGER NOT NULL, in_50 INTEGER NOT NULL, in_100 INTEGER NOT NULL,
  in_500 INTEGER NOT NULL, in_1000 INTEGER NOT NULL,
  out_10 INTEGER NOT NULL, out_50 INTEGER NOT NULL, out_100 INTEGER NOT NULL,
  out_500 INTEGER NOT NULL, out_1000 INTEGER NOT NULL,
  stock_10 INTEGER NOT NULL, stock_50 INTEGER NOT NULL,
  stock_100 INTEGER NOT NULL, stock_500 INTEGER NOT NULL,
  stock_1000 INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS tallies_at ON tallies (at_ms);
CREATE TABLE IF NOT EXISTS sale_steps (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  sale_id INTEGER NOT NULL,
  at_ms INTEGER NOT NULL,
  state TEXT NOT NULL,
  step TEXT NOT NULL,
  credit INTEGER NOT NULL,
  inserted INTEGER NOT NULL,
  charged INTEGER NOT NULL,
  paid INTEGER NOT NULL,
  code INTEGER NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS sale_steps_sale ON sale_steps (sale_id, id);
CREATE INDEX IF NOT EXISTS sales_created ON sales (created_ms);
-- A step is written by the same statement that writes the sale's row (one
-- commit, one sync, and the same handling of a full disk): a trigger, on
-- the insert and on each update that changes what the step shows.
CREATE TRIGGER IF NOT EXISTS sale_step_created AFTER INSERT ON sales
BEGIN
  INSERT INTO sale_steps (sale_id, at_ms, state, step, credit, inserted,
                          charged, paid, code, detail)
  VALUES (new.id, new.updated_ms, new.state, new.step, new.credit,
          new.inserted, new.charged, new.paid, new.last_code, new.detail);
END;
CREATE TRIGGER IF NOT EXISTS sale_step_updated AFTER UPDATE ON sales
WHEN new.state IS NOT old.state OR new.step IS NOT old.step OR
     new.credit IS NOT old.credit OR new.inserted IS NOT old.inserted OR
     new.charged IS NOT old.charged OR new.paid IS NOT old.paid OR
     new.last_code IS NOT old.last_code OR new.detail IS NOT old.detail
BEGIN
  INSERT INTO sale_steps (sale_id, at_ms, state, step, credit, inserted,
                          charged, paid, code, detail)
  VALUES (new.id, new.updated_ms, new.state, new.step, new.credit,
          new.inserted, new.charged, new.paid, new.last_code, new.detail);
END;
)";

const char *const kTallyColumns =
    "id, at_ms, kind, sale_id, operation_id, in_10, in_50, in_100, in_500, "
    "in_1000, out_10, out_50, out_100, out_500, out_1000, stock_10, "
    "stock_50, stock_100, stock_500, stock_1000";

Tally ReadTally(sqlite3_stmt *s) {
  Tally t;
  t.id = sqlite3_column_int64(s, 0);
  t.atMs = sqlite3_column_int64(s, 1);
  const unsigned char *kind = sqlite3_column_text(s, 2);
  t.kind = kind ? reinterpret_cast<const char *>(kind) : "";
  t.saleId = sqlite3_column_int64(s, 3);
  t.operationId = sqlite3_column_int64(s, 4);
  for (int k = 0; k < kDenominations; ++k) {
    t.in[k] = static_cast<uint32_t>(sqlite3_column_int64(s, 5 + k));
    t.out[k] = static_cast<uint32_t>(sqlite3_column_int64(s, 10 + k));
    t.stock[k] = static_cast<uint32_t>(sqlite3_column_int64(s, 15 + k));
  }
  return t;
}

std::vector<Tally> ReadTallies(sqlite3 *db, const std::string &rest, int64_t a,
                               int64_t b) {
  std::vector<Tally> out;
  Statement s(db,
              std::string("SELECT ") + kTallyColumns + " FROM tallies " + rest);
  if (!s) return out;
  sqlite3_bind_int64(s.get(), 1, a);
  sqlite3_bind_int64(s.get(), 2, b);
  while (sqlite3_step(s.get()) == SQLITE_ROW) out.push_back(ReadTally(s.get()));
  return out;
}

std::string Text(sqlite3_stmt *s, int i) {
  const unsigned char *t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char *>(t) : "";
}

}  // namespace

bool Journal::Upgrade() {
  if (!Exec(kTables)) return false;
  // Columns added since the first journals: each added where it is
  // missing.
  struct Column {
    const char *table, *name, *definition;
  };
  static constexpr Column kAdded[] = {
      {"incidents", "resolved_ms", "INTEGER"},
      {"incidents", "note", "TEXT NOT NULL DEFAULT ''"},
  };
  for (const Column &c : kAdded) {
    Statement has(db_, std::string("SELECT 1 FROM pragma_table_info('") +
                           c.table + "') WHERE name='" + c.name + "'");
    if (!has) return false;
    if (sqlite3_step(has.get()) == SQLITE_ROW) continue;
    std::string alter = std::string("ALTER TABLE ") + c.table + " ADD COLUMN " +
                        c.name + " " + c.definition;
    if (!Exec(alter.c_str())) return false;
  }
  return true;
}

bool Journal::AddTally(Tally *t) {
  Statement s(db_,
              "INSERT INTO tallies (at_ms, kind, sale_id, operation_id, "
              "in_10, in_50, in_100, in_500, in_1000, out_10, out_50, "
              "out_100, out_500, out_1000, stock_10, stock_50, stock_100, "
              "stock_500, stock_1000) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, "
              "?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19)");
  if (!s) return false;
  sqlite3_bind_int64(s.get(), 1, t->atMs);
  sqlite3_bind_text(s.get(), 2, t->kind.c_str(), -1, SQLITE_TRANSIENT);
  if (t->saleId) sqlite3_bind_int64(s.get(), 3, t->saleId);
  if (t->operationId) sqlite3_bind_int64(s.get(), 4, t->operationId);
  for (int k = 0; k < kDenominations; ++k) {
    sqlite3_bind_int64(s.get(), 5 + k, t->in[k]);
    sqlite3_bind_int64(s.get(), 10 + k, t->out[k]);
    sqlite3_bind_int64(s.get(), 15 + k, t->stock[k]);
  }
  if (!Write(s.get())) return false;
  t->id = sqlite3_last_insert_rowid(db_);
  return true;
}

std::vector<Tally> Journal::Tallies(int64_t fromMs, int64_t toMs) {
  return ReadTallies(db_, "WHERE at_ms>=?1 AND at_ms<?2 ORDER BY at_ms, id",
                     fromMs, toMs);
}

std::optional<Tally> Journal::TallyBefore(int64_t ms) {
  std::vector<Tally> t = ReadTallies(
      db_, "WHERE at_ms<?1 ORDER BY at_ms DESC, id DESC LIMIT 1", ms, 0);
  if (t.empty()) return std::nullopt;
  return t.front();
}

std::vector<SaleStepRow> Journal::SaleSteps(int64_t saleId) {
  std::vector<SaleStepRow> out;
  Statement s(db_,
              "SELECT at_ms, state, step, credit, inserted, charged, paid, "
              "code, detail FROM sale_steps WHERE sale_id=?1 ORDER BY id");
  if (!s) return out;
  sqlite3_bind_int64(s.get(), 1, saleId);
  while (sqlite3_step(s.get()) == SQLITE_ROW) {
    SaleStepRow r;
    r.atMs = sqlite3_column_int64(s.get(), 0);
    r.state = Text(s.get(), 1);
    r.step = Text(s.get(), 2);
    r.credit = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 3));
    r.inserted = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 4));
    r.charged = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 5));
    r.paid = static_cast<uint32_t>(sqlite3_column_int64(s.get(), 6));
    r.code = static_cast<uint16_t>(sqlite3_column_int64(s.get(), 7));
    r.detail = Text(s.get(), 8);
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace tavod
