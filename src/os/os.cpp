#include "os/os.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <ctime>
#endif

namespace {
OsSleepHook SleepHook = nullptr;
OsLocalTimeHook LocalTimeHook = nullptr;
}  // namespace

void OsSetHooks(OsSleepHook sleep, OsLocalTimeHook localTime) {
  SleepHook = sleep;
  LocalTimeHook = localTime;
}

void OsSleep(uint32_t milliseconds) {
  if (SleepHook != nullptr) {
    SleepHook(milliseconds);
    return;
  }
#ifdef _WIN32
  Sleep(milliseconds);
#else
  timespec want{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
  timespec left{};
  while (nanosleep(&want, &left) != 0) want = left;  // resume after a signal
#endif
}

void OsLocalTime(LocalTime *out) {
  if (LocalTimeHook != nullptr) {
    LocalTimeHook(out);
    return;
  }
#ifdef _WIN32
  SYSTEMTIME st;
  GetLocalTime(&st);
  *out =
      LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
#else
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  *out = LocalTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                   local.tm_hour,        local.tm_min,     local.tm_sec};
#endif
}
