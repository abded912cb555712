// The frame every export runs in: the busy guard, the handle check and the
// result code.
#ifndef TAVOCTL_API_FRAME_H
#define TAVOCTL_API_FRAME_H

#include <atomic>
#include <cstdint>

#include "codes/codes.h"
#include "tavoctl.h"
#include "unit/unit.h"

// 0 while no export runs, else the function number of the one running.
extern std::atomic<uint8_t> ApiBusy;

// The busy guard. Testing ApiBusy and claiming it is one atomic step, so two
// threads can never both pass; a refused caller gets the running export's
// function number at once and nothing else is touched. ApiBusy is released
// on every path that passed the guard.
template <typename Work>
uint32_t Guarded(uint8_t function, Work &&work) {
  uint8_t running = 0;
  if (!ApiBusy.compare_exchange_strong(running, function)) return running;
  uint16_t code = work();
  ApiBusy.store(0);
  return code;
}

// The frame of every export that takes the open unit's handle: the guard,
// then reason 0x01 when no unit is open and 0x02 when `handle` is not the
// open unit's. `codeNumber` is the high byte of the codes, which differs
// from the function number for one export only.
template <typename Work>
uint32_t RunExport(uint8_t function, uint32_t handle, Work &&work,
                   uint8_t codeNumber = 0) {
  if (codeNumber == 0) codeNumber = function;
  return Guarded(function, [&]() -> uint16_t {
    if (Unit.DeviceHandle == 0) return Code(codeNumber, Reason::NotOpen);
    if (handle != Unit.DeviceHandle)
      return Code(codeNumber, Reason::WrongHandle);
    return work();
  });
}

#endif  // TAVOCTL_API_FRAME_H
