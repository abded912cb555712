// The virtual unit's jobs, when the provider is a virtual unit (in this
// process or in tavovu-server): the customer inserting money, faults
// staged, its money checked, and the frames it received (a sale's count).
// The routes under /v1/virtual answer 404 with a real unit.
#ifndef TAVOD_VIRTUAL_JOBS_H
#define TAVOD_VIRTUAL_JOBS_H

#include <cstdint>
#include <string>

#include "answer.h"
#include "unit.h"

namespace tavod {

class VirtualJobs {
 public:
  explicit VirtualJobs(const VirtualUnit &vu) : vu_(vu) {}

  Answer Insert(bool note, int value);
  Answer Fault(const std::string &kind, bool on);
  Answer Money();
  // The request frames the unit received so far; false with a real unit.
  bool Frames(uint32_t *frames) const;

 private:
  const VirtualUnit &vu_;
};

}  // namespace tavod

#endif  // TAVOD_VIRTUAL_JOBS_H
