#include "history.h"

#include <charconv>

#include "report.h"
#include "sale_state.h"

namespace tavod {
namespace json = boost::json;
namespace {

Answer BadQuery(const std::string &detail) {
  return Problem(400, "invalid-query", "A query parameter has a wrong value",
                 detail);
}

bool Number(const std::string &text, int64_t min, int64_t max, int64_t *out) {
  const char *end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end && *out >= min && *out <= max;
}

}  // namespace

std::optional<Answer> ParseSaleQuery(
    const std::map<std::string, std::string> &query, SaleQuery *q) {
  for (const auto &[name, value] : query) {
    int64_t n = 0, from = 0, to = 0;
    if (name == "state") {
      if (StateName(StateNamed(value)) != value) {
        return BadQuery("\"state\" is not the name of a sale's state: " +
                        value);
      }
      value.copy(q->state, sizeof q->state - 1);
    } else if (name == "from" || name == "to") {
      if (!LocalDay(value, &from, &to)) {
        return BadQuery("\"" + name + "\" must be a date YYYY-MM-DD");
      }
      // Both days are included: from the start of `from` to the end of
      // `to`.
      if (name == "from") {
        q->fromMs = from;
      } else {
        q->toMs = to;
      }
    } else if (name == "min" || name == "max") {
      if (!Number(value, 0, 1000000, &n)) {
        return BadQuery("\"" + name + "\" must be an amount in yen");
      }
      (name == "min" ? q->minPrice : q->maxPrice) = n;
    } else if (name == "limit") {
      if (!Number(value, 1, kMaxSalesPage, &n)) {
        return BadQuery("\"limit\" must be 1 to " +
                        std::to_string(kMaxSalesPage));
      }
      q->limit = static_cast<int>(n);
    } else if (name == "before") {
      if (!Number(value, 1, INT64_MAX, &n)) {
        return BadQuery("\"before\" must be a sale's id");
      }
      q->before = n;
    } else {
      return BadQuery("unknown query parameter \"" + name + "\"");
    }
  }
  return std::nullopt;
}

json::object StepView(const SaleStepRow &s) {
  json::object o;
  o["at_ms"] = s.atMs;
  o["state"] = s.state;
  o["step"] = s.step;
  o["credit"] = s.credit;
  o["inserted"] = s.inserted;
  o["charged"] = s.charged;
  o["paid"] = s.paid;
  o["code"] = s.code;
  o["detail"] = s.detail;
  return o;
}

}  // namespace tavod
