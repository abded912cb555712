// What the service tells about a result code of the library: the export or
// step that returns it, what to do next, and its text, all from the
// project's one table of result codes (generated into the build).
#ifndef TAVOD_CODES_H
#define TAVOD_CODES_H

#include <cstdint>
#include <string>

namespace tavod {

// What the application (here: the sale's state machine) does after a code.
enum class NextStep {
  kNone,       // success: carry on
  kRetry,      // nothing changed on the unit: call again
  kPoll,       // a unit is still busy: poll the status, then call again
  kPayBack,    // the customer's credit must go back
  kReadBoard,  // part of the work may have been done: read before acting
  kReopen,     // no unit is open: open it again
  kFixCall,    // the call was wrong: a defect of the caller
  kService,    // a person must act: an incident
};

struct CodeInfo {
  uint16_t code = 0;
  std::string source;  // the export or shared step
  NextStep next = NextStep::kService;
  std::string nextName;  // the table's keyword
  std::string text;      // "EXPORT: meaning: what to do"
  bool known = false;    // the table lists the code
};

// A code the table does not list is treated as one a person must look at.
CodeInfo DescribeCode(uint16_t code);
const char *NextStepName(NextStep step);
// "0x1375"
std::string HexCode(uint16_t code);
// Number of codes in the table (0 when the build found no table).
size_t CodeCount();

}  // namespace tavod

#endif  // TAVOD_CODES_H
