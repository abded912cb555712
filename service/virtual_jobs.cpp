#include "virtual_jobs.h"

namespace tavod {
namespace json = boost::json;
namespace {

Answer NotVirtual() {
  return Problem(404, "not-virtual", "No virtual unit",
                 "the service drives a real unit");
}

}  // namespace

Answer VirtualJobs::Insert(bool note, int value) {
  if (!vu_.present) return NotVirtual();
  int r = note ? vu_.insertNote(0, value) : vu_.insertCoin(0, value);
  if (r == VU_OK) return Ok(json::object{{"accepted", true}, {"value", value}});
  const char *why = r == VU_REFUSED   ? "the unit refused it (acceptance off "
                                        "or escrow full); it was given back"
                    : r == VU_JAMMED  ? "the unit is jammed"
                    : r == VU_NO_UNIT ? "that money unit is not fitted"
                                      : "the virtual unit rejected the value";
  return Problem(409, "money-refused", "The money was not taken", why);
}

Answer VirtualJobs::Fault(const std::string &kind, bool on) {
  if (!vu_.present) return NotVirtual();
  int r = VU_ERR_ARGUMENT;
  if (kind == "coin_jam") {
    r = vu_.jam(0, VU_COIN, on);
  } else if (kind == "note_jam") {
    r = vu_.jam(0, VU_NOTE, on);
  } else if (kind == "power_failure") {
    r = vu_.powerFail(0);
  } else if (kind == "silence") {
    vu_fault f{};
    f.kind = VU_FAULT_SILENCE;
    f.command = -1;
    f.sub = -1;
    f.value = -1;
    f.count = -1;
    r = on ? vu_.addFault(0, &f) : vu_.clearFaults(0);
  }
  if (r != VU_OK) {
    return Problem(409, "fault-refused", "The fault was not staged",
                   "the virtual unit answered " + std::to_string(r));
  }
  return Ok(json::object{{"fault", kind}, {"on", on}});
}

Answer VirtualJobs::Money() {
  if (!vu_.present) return NotVirtual();
  vu_money_report m{};
  int r = vu_.checkMoney(0, &m);
  json::object o;
  o["balanced"] = r == VU_OK;
  o["value_in"] = m.value_in;
  o["value_out"] = m.value_out;
  o["unpaid"] = m.unpaid;
  return Ok(std::move(o));
}

bool VirtualJobs::Frames(uint32_t *frames) const {
  if (!vu_.present) return false;
  vu_state s{};
  bool ok = vu_.getState(0, &s) == VU_OK;
  *frames = s.frames;
  return ok;
}

}  // namespace tavod
