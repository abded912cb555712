// The fake clock hooks the OS layer, which only a test linking the
// library objects directly can reach.
#include "fake_d2xx.h"
#include "os/os.h"

namespace fake {

Clock &Clock::Get() {
  static Clock clock;
  return clock;
}

void Clock::Install() {
  OsSetHooks(
      [](uint32_t ms) {
        Clock::Get().sleptMs += ms;
        Clock::Get().sleeps++;
      },
      [](LocalTime *out) {
        const Clock &c = Clock::Get();
        *out = LocalTime{c.year, c.month, c.day, c.hour, c.minute, c.second};
      });
}

}  // namespace fake
