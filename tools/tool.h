// What the tool's commands share: the loaded library and provider, the
// options, the exit codes and the transcript printer.
#ifndef TAVOCTL_TOOLS_TOOL_H
#define TAVOCTL_TOOLS_TOOL_H

#include <string>
#include <vector>

#include "tavoload.h"

namespace tavo {

// Exit codes, for scripts.
enum Exit {
  kExitOk = 0,          // done; for demo and sell: the sale balanced
  kExitUnitFailed = 1,  // an export returned a failure code (printed)
  kExitUsage = 2,       // the command line was wrong
  kExitSetup = 3,       // the library or the provider could not be loaded,
                        // or the command needs the virtual unit
  kExitUnbalanced = 4,  // the sale did not balance, or the customer did not
                        // pay in time
};

struct Options {
  std::string provider;  // empty: the virtual unit beside the tool
  std::string device;    // --device: the serial number of the unit to use
  bool trace = false;    // print every frame on the wire, decoded
  std::string command;
  std::vector<std::string> args;  // the command's own arguments
  // Options of demo and sell.
  int price = 1280;
  std::vector<int> pay;   // what the virtual customer inserts
  std::string fault;      // demo: a failure to stage
  int waitSeconds = 120;  // sell: how long to wait for a real customer
  int mode = 3;           // display: the number's mode
};

struct Tool {
  tavoload::Exports lib{};
  tavoload::VirtualUnit vu{};
  tavoload::Bridges bridges{};
  Options options;
  uint32_t handle = 0;
  bool open = false;
};

// Prints one transcript line: a step name and what happened.
void Say(const char *step, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// Checks an export's result: 0 is fine; anything else is printed with its
// meaning and gives false.
bool Check(const char *what, uint32_t code);

// Reads a whole number the one way the tool reads every number: decimal, or
// hexadecimal after 0x; no sign, no blanks. False unless low <= it <= high.
bool ReadNumber(const std::string &text, long low, long high, long *out);

// Prints "tavo: " and the message on stderr, then the usage line of
// `command` when it is not null; returns kExitUsage.
int UsageError(const char *command, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// For commands that take at most `allowed` arguments: false (and the
// usage printed) when there are more.
bool ArgumentsFit(const Tool &tool, size_t allowed);

// --device: asks the provider to list only that unit; false (with the
// reason printed) when the provider cannot.
bool SelectDevice(Tool &tool);

// After an open that found no usable unit: each unit the provider sees and
// why it cannot be used, when the provider says.
void ExplainNoUnit(const Tool &tool);

// The commands; each returns an exit code.
int Devices(Tool &tool);
int Demo(Tool &tool);
int Status(Tool &tool);
int Sell(Tool &tool);
int Display(Tool &tool);
int Beep(Tool &tool);
int ResetBoard(Tool &tool);
int ClearBackup(Tool &tool);
int Codes(Tool &tool);

}  // namespace tavo

#endif  // TAVOCTL_TOOLS_TOOL_H
