// What the service tells about a result code of the library: the export or
// step that returns it, what to do next, and its text, all from the
// project's one table of result codes (tavoctl_text.h, generated from
// data/result-codes.tsv).
#ifndef TAVOD_CODES_H
#define TAVOD_CODES_H

#include <cstdint>
#include <string>

#include "tavoctl_text.h"

namespace tavod {

struct CodeInfo {
  uint16_t code = 0;
  std::string source;  // the export or shared step
  // What the application (here: the sale's state machine) does after it.
  tavoctl_next next = TAVOCTL_NEXT_SERVICE;
  std::string nextName;  // the table's keyword
  std::string text;      // "EXPORT: meaning: what to do"
  bool known = false;    // the table lists the code
};

// A code the table does not list is treated as one a person must look at.
CodeInfo DescribeCode(uint16_t code);
// "0x1375"
std::string HexCode(uint16_t code);

}  // namespace tavod

#endif  // TAVOD_CODES_H
