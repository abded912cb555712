// The worker's jobs of the day report and the history: journal reads, on
// the worker's thread like every use of the journal.
#include <ctime>

#include "history.h"
#include "report.h"
#include "worker.h"

namespace tavod {
namespace json = boost::json;

Answer Worker::SaleSteps(int64_t id) {
  if (!c_.journal.Sale(id)) {
    return Problem(404, "no-such-sale", "No such sale",
                   "there is no sale " + std::to_string(id));
  }
  json::array steps;
  for (const SaleStepRow &s : c_.journal.SaleSteps(id)) {
    steps.push_back(StepView(s));
  }
  return Ok(std::move(steps));
}

Answer Worker::DayReport(int64_t fromMs, int64_t toMs) {
  std::time_t start = static_cast<std::time_t>(fromMs / 1000);
  std::tm tm{};
  localtime_r(&start, &tm);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
  return Ok(tavod::DayReport(c_.journal, date, fromMs, toMs));
}

}  // namespace tavod
