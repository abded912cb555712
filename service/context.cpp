#include "context.h"

#include <csignal>

namespace tavod {

void Context::Crash(const std::string &point) const {
  if (!options.crashAt.empty() && options.crashAt == point) {
    std::raise(SIGKILL);
  }
}

void Context::OpenIncident(int64_t saleId, uint16_t code,
                           const std::string &detail, uint32_t owed) {
  Incident i;
  i.saleId = saleId;
  i.createdMs = NowMs();
  i.amount = owed;
  i.code = code;
  i.detail = detail;
  // An incident the journal cannot take (a full disk) still reaches the
  // events and the metrics' count, for the alert to call a person.
  if (!journal.AddIncident(&i)) ++unjournaledIncidents;
  events("incident", boost::json::object{{"id", i.id},
                                         {"sale", saleId},
                                         {"amount", owed},
                                         {"detail", detail}});
  CountIncidents();
}

void Context::CountIncidents() {
  metrics.OpenIncidents(journal.Incidents(true).size() + unjournaledIncidents);
}

bool Context::OwedInIncident() {
  for (const Incident &i : journal.Incidents(true)) {
    if (i.amount > 0) return true;
  }
  return false;
}

void Context::CheckJournal() {
  if (journal.Faulted()) journal.KeepReserve();
  bool faulted = journal.Faulted();
  if (faulted != journalFaulted.exchange(faulted)) unit.Publish();
  metrics.Journal(faulted, journal.WriteErrors());
}

}  // namespace tavod
