#include "report.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

namespace tavod {
namespace json = boost::json;
namespace {

int LocalHour(int64_t ms) {
  std::time_t t = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm.tm_hour;
}

json::array Ids(const std::set<int64_t> &ids) {
  json::array a;
  for (int64_t id : ids) a.emplace_back(id);
  return a;
}

int64_t Value(const uint32_t counts[kDenominations]) {
  int64_t v = 0;
  for (int k = 0; k < kDenominations; ++k) {
    v += int64_t(counts[k]) * kDenominationValues[k];
  }
  return v;
}

// The stock walked from tally to tally: each closed trade's stock should
// be the one before it plus its money in, less its money out. Where it is
// not, the difference showed at that trade: its sale or operation (or, at
// a reading of the stock, the sale before it) is where to look.
struct Reconciliation {
  bool known = false;  // a stock to start from
  int64_t start[kDenominations] = {}, in[kDenominations] = {},
          out[kDenominations] = {}, end[kDenominations] = {};
  std::set<int64_t> sales[kDenominations], operations[kDenominations];

  void Walk(const std::optional<Tally> &before, const std::vector<Tally> &day) {
    int64_t current[kDenominations] = {};
    if (before) {
      known = true;
      for (int k = 0; k < kDenominations; ++k) current[k] = before->stock[k];
    } else if (!day.empty()) {
      // A journal with no tally before the day (its first day, or one an
      // older build kept): the first tally's stock less its own money.
      known = true;
      for (int k = 0; k < kDenominations; ++k) {
        current[k] =
            int64_t(day[0].stock[k]) - day[0].in[k] + int64_t(day[0].out[k]);
      }
    }
    std::copy(std::begin(current), std::end(current), start);
    int64_t lastSale = 0;
    for (const Tally &t : day) {
      for (int k = 0; k < kDenominations; ++k) {
        in[k] += t.in[k];
        out[k] += t.out[k];
        int64_t expected = current[k] + t.in[k] - int64_t(t.out[k]);
        if (int64_t(t.stock[k]) != expected) {
          if (t.saleId) {
            sales[k].insert(t.saleId);
          } else if (lastSale) {
            sales[k].insert(lastSale);
          }
          if (t.operationId) operations[k].insert(t.operationId);
        }
        current[k] = t.stock[k];
      }
      if (t.saleId) lastSale = t.saleId;
    }
    std::copy(std::begin(current), std::end(current), end);
  }
};

}  // namespace

bool LocalDay(const std::string &date, int64_t *fromMs, int64_t *toMs) {
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (date[i] < '0' || date[i] > '9') return false;
  }
  std::tm tm{};
  tm.tm_year = std::stoi(date.substr(0, 4)) - 1900;
  tm.tm_mon = std::stoi(date.substr(5, 2)) - 1;
  tm.tm_mday = std::stoi(date.substr(8, 2));
  tm.tm_isdst = -1;  // the zone's rule for that day
  std::tm start = tm;
  std::time_t from = std::mktime(&start);
  // mktime normalizes: a day that does not exist (2026-02-30) moves.
  if (from == -1 || start.tm_mday != tm.tm_mday || start.tm_mon != tm.tm_mon) {
    return false;
  }
  std::tm next = tm;
  next.tm_mday += 1;
  next.tm_isdst = -1;
  std::time_t to = std::mktime(&next);
  *fromMs = int64_t(from) * 1000;
  *toMs = int64_t(to) * 1000;
  return true;
}

json::object DayReport(Journal &journal, const std::string &date,
                       int64_t fromMs, int64_t toMs) {
  json::object r;
  r["date"] = date;
  r["from_ms"] = fromMs;
  r["to_ms"] = toMs;

  SaleQuery q;
  q.fromMs = fromMs;
  q.toMs = toMs;
  q.limit = -1;
  std::map<std::string, int64_t> outcomes = {
      {"done", 0}, {"cancelled", 0}, {"failed", 0}, {"unfinished", 0}};
  int64_t charged = 0;
  int64_t hourSales[24] = {}, hourCharged[24] = {};
  for (const SaleRecord &s : journal.FindSales(q)) {
    std::string outcome = s.Finished() ? StateName(s.state) : "unfinished";
    ++outcomes[outcome];
    charged += s.charged;
    int hour = LocalHour(s.createdMs);
    if (s.state == SaleState::kDone) ++hourSales[hour];
    hourCharged[hour] += s.charged;
  }
  json::object sales;
  for (const auto &[outcome, count] : outcomes) sales[outcome] = count;
  sales["charged"] = charged;
  r["sales"] = std::move(sales);
  json::array perHour;
  for (int h = 0; h < 24; ++h) {
    perHour.push_back(json::object{
        {"hour", h}, {"sales", hourSales[h]}, {"charged", hourCharged[h]}});
  }
  r["per_hour"] = std::move(perHour);

  std::vector<Tally> tallies = journal.Tallies(fromMs, toMs);
  Reconciliation rec;
  rec.Walk(journal.TallyBefore(fromMs), tallies);

  // The operations by kind (refills, collections, operator payouts, and
  // whatever else moved money), with the money of their trades.
  std::map<int64_t, const Tally *> opTally;
  for (const Tally &t : tallies) {
    if (t.operationId) opTally[t.operationId] = &t;
  }
  json::object kinds;
  int64_t refills = 0, refilled = 0, collections = 0, collected = 0,
          payouts = 0, paidOut = 0;
  for (const Operation &op : journal.OperationsBetween(fromMs, toMs)) {
    if (op.state != "done" && op.state != "short") continue;
    auto tally = opTally.find(op.id);
    int64_t in = 0, out = op.paid;
    if (tally != opTally.end()) {
      in = Value(tally->second->in);
      out = Value(tally->second->out);
    }
    json::value &slot = kinds[op.kind];
    if (!slot.is_object()) {
      slot = json::object{{"count", 0}, {"in", 0}, {"out", 0}};
    }
    json::object &k = slot.as_object();
    k["count"] = k["count"].as_int64() + 1;
    k["in"] = k["in"].as_int64() + in;
    k["out"] = k["out"].as_int64() + out;
    if (op.kind == "refill") {
      ++refills;
      refilled += tally != opTally.end() ? in : int64_t(op.amount);
    } else if (op.kind == "collection") {
      ++collections;
      collected += op.paid;
    } else if (op.kind == "payout") {
      ++payouts;
      paidOut += op.paid;
    }
  }
  r["refills"] = json::object{{"count", refills}, {"amount", refilled}};
  r["collections"] =
      json::object{{"count", collections}, {"amount", collected}};
  r["payouts"] = json::object{{"count", payouts}, {"amount", paidOut}};
  r["operations"] = std::move(kinds);

  int64_t opened = 0, resolved = 0, openAtEnd = 0;
  std::set<int64_t> dayIncidents;
  for (const Incident &i : journal.IncidentsAround(fromMs, toMs)) {
    if (i.createdMs >= fromMs) {
      ++opened;
      dayIncidents.insert(i.id);
    }
    if (!i.open && i.resolvedMs >= fromMs && i.resolvedMs < toMs) ++resolved;
    if (i.open || i.resolvedMs >= toMs) ++openAtEnd;
  }
  r["incidents"] = json::object{{"opened", opened},
                                {"resolved", resolved},
                                {"open_at_end", openAtEnd},
                                {"ids", Ids(dayIncidents)}};

  json::array denominations, differences;
  bool balanced = rec.known;
  for (int k = 0; k < kDenominations; ++k) {
    int64_t expected = rec.start[k] + rec.in[k] - rec.out[k];
    int64_t difference = rec.end[k] - expected;
    denominations.push_back(json::object{{"value", kDenominationValues[k]},
                                         {"start", rec.start[k]},
                                         {"in", rec.in[k]},
                                         {"out", rec.out[k]},
                                         {"end", rec.end[k]},
                                         {"expected", expected},
                                         {"difference", difference}});
    if (difference == 0) continue;
    balanced = false;
    differences.push_back(json::object{{"value", kDenominationValues[k]},
                                       {"difference", difference},
                                       {"sales", Ids(rec.sales[k])},
                                       {"operations", Ids(rec.operations[k])},
                                       {"incidents", Ids(dayIncidents)}});
  }
  r["denominations"] = std::move(denominations);
  r["differences"] = std::move(differences);
  r["tallies"] = static_cast<int64_t>(tallies.size());
  r["balanced"] = balanced;
  return r;
}

namespace {

std::string Field(const json::value &v) {
  if (v.is_string()) {
    std::string s(v.as_string());
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string quoted = "\"";
    for (char c : s)
      quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
  }
  if (v.is_array()) {  // ids: one field, separated by spaces
    std::string s;
    for (const json::value &e : v.as_array()) {
      s += (s.empty() ? "" : " ") + json::serialize(e);
    }
    return s;
  }
  return json::serialize(v);
}

void Row(std::string &csv, std::initializer_list<std::string> fields) {
  bool first = true;
  for (const std::string &f : fields) {
    if (!first) csv += ',';
    csv += f;
    first = false;
  }
  csv += "\r\n";
}

// A table: a header row naming the columns after the section, then one
// row per object of `rows`.
void Table(std::string &csv, const char *section, const json::array &rows,
           std::initializer_list<const char *> names) {
  std::string header = section;
  for (const char *n : names) header += std::string(",") + n;
  csv += header + "\r\n";
  for (const json::value &row : rows) {
    const json::object &o = row.as_object();
    std::string line = section;
    for (const char *n : names) line += "," + Field(o.at(n));
    csv += line + "\r\n";
  }
}

}  // namespace

std::string DayReportCsv(const json::object &r) {
  std::string csv;
  Row(csv, {"section", "key", "value"});
  for (const char *k : {"date", "from_ms", "to_ms", "balanced", "tallies"}) {
    Row(csv, {"report", k, Field(r.at(k))});
  }
  for (const char *block :
       {"sales", "refills", "collections", "payouts", "incidents"}) {
    for (const auto &[k, v] : r.at(block).as_object()) {
      Row(csv, {block, std::string(k), Field(v)});
    }
  }
  json::array kinds;
  for (const auto &[kind, v] : r.at("operations").as_object()) {
    json::object o = v.as_object();
    o["kind"] = kind;
    kinds.push_back(std::move(o));
  }
  Table(csv, "operations", kinds, {"kind", "count", "in", "out"});
  Table(csv, "per_hour", r.at("per_hour").as_array(),
        {"hour", "sales", "charged"});
  Table(csv, "denominations", r.at("denominations").as_array(),
        {"value", "start", "in", "out", "end", "expected", "difference"});
  Table(csv, "differences", r.at("differences").as_array(),
        {"value", "difference", "sales", "operations", "incidents"});
  return csv;
}

}  // namespace tavod
