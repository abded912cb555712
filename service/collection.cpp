// Collections: the operator takes out what lies above a float. The preview
// says what the unit will pay: the amount above the float, and of it the
// largest amount the library's change rule pays exactly from the stock
// (tavoctl_change.h), split as the rule splits it. The coin unit chooses
// its coins itself, largest first, from the whole stock: a payout cannot
// name denominations, so the split may take coins of a denomination that
// is not above its float, and leave some that are. Confirmed, it is paid as
// an operator payout of kind "collection" (operations.cpp): journaled
// before the trade, before the payout and once measured, and settled from
// the board's meters when the service dies half-way, never paid twice.
#include <algorithm>

#include "operations.h"
#include "stock.h"
#include "tavoctl_change.h"

namespace tavod {
namespace json = boost::json;
namespace {

// TAVO_PayOut takes at most this much in one call.
constexpr uint32_t kMostPayout = 65535;

json::object ByValue(const uint32_t counts[5]) {
  json::object o;
  for (int k = 0; k < 5; ++k) o[std::to_string(kValues[k])] = counts[k];
  return o;
}

struct Preview {
  json::object view;
  uint32_t payable = 0;
};

Preview Plan(const TavoData &units, const uint32_t keep[5]) {
  uint32_t stock[5], above[5];
  StockCounts(units, stock);
  uint64_t amount = 0;
  for (int k = 0; k < 5; ++k) {
    above[k] = stock[k] > keep[k] ? stock[k] - keep[k] : 0;
    amount += uint64_t(above[k]) * kValues[k];
  }
  auto limit = static_cast<uint32_t>(std::min<uint64_t>(amount, kMostPayout));
  Preview p;
  p.payable = tavoctl_change_largest(&units, limit);
  tavoctl_change split{};
  if (p.payable > 0 && !tavoctl_change_split(&units, p.payable, &split)) {
    p.payable = 0;  // the rule's two answers disagree: pay nothing
    split = tavoctl_change{};
  }
  uint32_t taken[5] = {split.coins[0], split.coins[1], split.coins[2],
                       split.coins[3], split.notes};
  std::string note;
  for (int k = 0; k < 5; ++k) {
    if (taken[k] > above[k]) {
      note += (note.empty() ? "" : ", ") + std::to_string(taken[k] - above[k]) +
              " of " + std::to_string(kValues[k]) + " below the float";
    }
  }
  if (!note.empty()) {
    note =
        "the coin unit pays largest coins first from the whole stock: "
        "it takes " +
        note;
  }
  if (amount > kMostPayout) {
    note += std::string(note.empty() ? "" : "; ") + "one payout pays at most " +
            std::to_string(kMostPayout);
  }
  if (p.payable < limit) {
    note += std::string(note.empty() ? "" : "; ") +
            std::to_string(limit - p.payable) +
            " above the float cannot be paid exactly from the stock";
  }
  json::object coins{{"10", split.coins[0]},
                     {"50", split.coins[1]},
                     {"100", split.coins[2]},
                     {"500", split.coins[3]}};
  p.view = json::object{{"keep", ByValue(keep)},
                        {"stock", ByValue(stock)},
                        {"above", ByValue(above)},
                        {"amount", amount},
                        {"payable", p.payable},
                        {"split", json::object{{"notes", split.notes},
                                               {"coins", std::move(coins)}}},
                        {"short", amount - p.payable},
                        {"note", note}};
  return p;
}

}  // namespace

Answer Operations::Collect(const uint32_t keep[5], bool confirm) {
  Answer refusal;
  if (!MayBegin(&refusal)) return refusal;
  // The stock as the units report it now, not as last polled.
  if (!c_.unit.Poll()) {
    return UnitProblem(502, "The money units could not be read",
                       c_.unit.LastCode());
  }
  Preview p = Plan(c_.unit.Units(), keep);
  if (!confirm) return Ok(std::move(p.view));
  if (p.payable == 0) {
    return Problem(409, "nothing-to-collect", "Nothing to collect",
                   "nothing above the float can be paid exactly from the "
                   "stock");
  }
  Answer paid = PayOut("collection", p.payable);
  if (paid.status != 200) return paid;
  json::object o = std::move(p.view);
  for (const char *key : {"id", "kind", "state", "paid", "trade_end_failure"}) {
    if (const json::value *v = paid.body.as_object().if_contains(key)) {
      o[key] = *v;
    }
  }
  return Ok(std::move(o), 202);
}

}  // namespace tavod
