// Every result code of the twenty exports with its meaning in words, from
// the table data/result-codes.tsv (through the generated tavoctl_text.h):
// the tool's messages, its `codes` listing and the tests.
#ifndef TAVOCTL_TOOLS_RESULT_TEXT_H
#define TAVOCTL_TOOLS_RESULT_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace tavo {

// The name of the export with this function number ("TAVO_Charge"), or
// nullptr for a number that belongs to none.
const char *ExportName(uint32_t functionNumber);

// The meaning of a result code in words, then what to do next, e.g. 0x1375
// "TAVO_Charge: the change that would remain cannot be paid from the stock;
// ...". Codes that name failed exchanges list them ("... failed (coin unit,
// board)"). A code that no export returns gives "unknown result code 0xNNNN".
std::string ResultText(uint32_t code);

// What the application does next after `code` ("retry", "poll", "pay-back"
// ...: the table's vocabulary), or nullptr for an unknown code.
const char *NextStep(uint32_t code);

// Whether `code` is one that some export can return.
bool IsKnownResult(uint32_t code);

// Every code an export can return, in ascending order (busy codes included).
std::vector<uint16_t> AllResultCodes();

}  // namespace tavo

#endif  // TAVOCTL_TOOLS_RESULT_TEXT_H
