// The day report: a local day's sales by outcome and hour, the money in
// and out per denomination, the operations, the incidents, and the
// reconciliation of the stock per denomination (stock at the start + in -
// out = stock at the end), every difference flagged with the sales and
// incidents of the day. Built from the journal alone: the tallies of the
// trades closed that day (tally.h), the sales, operations and incidents.
// The day is the kiosk's local day, in the time zone of the process (TZ).
#ifndef TAVOD_REPORT_H
#define TAVOD_REPORT_H

#include <boost/json.hpp>
#include <cstdint>
#include <string>

#include "journal.h"

namespace tavod {

// The bounds of the local day `date` (YYYY-MM-DD) in ms since the epoch;
// false when `date` is not such a date.
bool LocalDay(const std::string &date, int64_t *fromMs, int64_t *toMs);

boost::json::object DayReport(Journal &journal, const std::string &date,
                              int64_t fromMs, int64_t toMs);

// The same report as CSV: one row per figure, `section,key,value...`.
std::string DayReportCsv(const boost::json::object &report);

}  // namespace tavod

#endif  // TAVOD_REPORT_H
