// The history: sales selected by state, day and price, newest first and
// paged by id; a sale's every step as the journal kept it.
#ifndef TAVOD_HISTORY_H
#define TAVOD_HISTORY_H

#include <boost/json.hpp>
#include <map>
#include <optional>
#include <string>

#include "answer.h"
#include "journal.h"

namespace tavod {

constexpr int kMaxSalesPage = 200;

// The query of GET /v1/sales (state, from, to as local days YYYY-MM-DD,
// min, max, limit, before); a problem when a parameter is wrong.
std::optional<Answer> ParseSaleQuery(
    const std::map<std::string, std::string> &query, SaleQuery *q);

boost::json::object StepView(const SaleStepRow &s);

}  // namespace tavod

#endif  // TAVOD_HISTORY_H
