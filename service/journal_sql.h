// The journal's prepared statements (journal.cpp and the report's and the
// history's queries in journal_history.cpp).
#ifndef TAVOD_JOURNAL_SQL_H
#define TAVOD_JOURNAL_SQL_H

#include <sqlite3.h>

#include <string>

namespace tavod {

// A prepared statement that finalizes itself.
class Statement {
 public:
  Statement(sqlite3 *db, const std::string &sql) {
    sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr);
  }
  ~Statement() { sqlite3_finalize(s_); }
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;
  sqlite3_stmt *get() const { return s_; }
  explicit operator bool() const { return s_ != nullptr; }

 private:
  sqlite3_stmt *s_ = nullptr;
};

}  // namespace tavod

#endif  // TAVOD_JOURNAL_SQL_H
