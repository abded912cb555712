#include "sale_state.h"

#include <iterator>

namespace tavod {
namespace {

constexpr const char *kStates[] = {"opening",       "accepting",  "charging",
                                   "paying_change", "cancelling", "ending",
                                   "done",          "cancelled",  "failed"};
constexpr const char *kSteps[] = {"",
                                  "begun",
                                  "charge_sent",
                                  "paying",
                                  "waiting",
                                  "recover",
                                  "recover_again",
                                  "recover_begin",
                                  "recover_measure",
                                  "recover_wait",
                                  "recover_pay",
                                  "recover_paying",
                                  "recover_end"};

template <typename E, size_t N>
E Named(const char *const (&names)[N], std::string_view name, E otherwise) {
  for (size_t i = 0; i < N; ++i) {
    if (name == names[i]) return static_cast<E>(i);
  }
  return otherwise;
}

}  // namespace

const char *StateName(SaleState state) {
  return kStates[static_cast<size_t>(state)];
}

const char *StepName(SaleStep step) {
  return kSteps[static_cast<size_t>(step)];
}

SaleState StateNamed(std::string_view name) {
  return Named(kStates, name, SaleState::kCharging);
}

SaleStep StepNamed(std::string_view name) {
  return Named(kSteps, name, SaleStep::kNone);
}

static_assert(std::size(kStates) == size_t(SaleState::kFailed) + 1);
static_assert(std::size(kSteps) == size_t(SaleStep::kRecoverEnd) + 1);

}  // namespace tavod
