// The little the library needs from the operating system: a pause and the
// local calendar time. Tests replace both so that they never wait for real
// and can pin the clock that the board is set to.
#ifndef TAVOCTL_OS_OS_H
#define TAVOCTL_OS_OS_H

#include <cstdint>

struct LocalTime {
  int year;    // four-digit year
  int month;   // 1-12
  int day;     // 1-31
  int hour;    // 0-23
  int minute;  // 0-59
  int second;  // 0-60 (a leap second as the conversion gives it)
};

// Sleeps on the caller's thread (Windows Sleep, POSIX nanosleep).
void OsSleep(uint32_t milliseconds);

// The computer's local date and time at this moment.
void OsLocalTime(LocalTime *out);

// Test seam: a non-null hook replaces the system call. Only tests that link
// the library's objects directly can reach these; the shared library and
// the DLL export nothing but the TAVO_ functions.
using OsSleepHook = void (*)(uint32_t milliseconds);
using OsLocalTimeHook = void (*)(LocalTime *out);
void OsSetHooks(OsSleepHook sleep, OsLocalTimeHook localTime);

#endif  // TAVOCTL_OS_OS_H
