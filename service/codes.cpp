#include "codes.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace tavod {
namespace {

struct Row {
  uint16_t code;
  const char *source;
  const char *next;
  const char *text;
};

const Row kRows[] = {
#include "result_codes.inc"
    {0xFFFF, "", "", ""},  // end marker, never looked up
};

struct Keyword {
  const char *name;
  NextStep step;
};
constexpr Keyword kKeywords[] = {
    {"none", NextStep::kNone},
    {"retry", NextStep::kRetry},
    {"poll", NextStep::kPoll},
    {"pay-back", NextStep::kPayBack},
    {"read-board", NextStep::kReadBoard},
    {"reopen", NextStep::kReopen},
    {"fix-call", NextStep::kFixCall},
    {"service", NextStep::kService},
};

}  // namespace

CodeInfo DescribeCode(uint16_t code) {
  CodeInfo info;
  info.code = code;
  const Row *end = std::end(kRows) - 1;
  const Row *row =
      std::find_if(kRows, end, [code](const Row &r) { return r.code == code; });
  if (row == end) {
    info.next = code == 0 ? NextStep::kNone : NextStep::kService;
    info.nextName = NextStepName(info.next);
    info.text = code == 0 ? "success"
                          : "code " + HexCode(code) +
                                " is not in the table of result codes";
    return info;
  }
  info.known = true;
  info.source = row->source;
  info.nextName = row->next;
  for (const Keyword &k : kKeywords) {
    if (std::strcmp(k.name, row->next) == 0) info.next = k.step;
  }
  info.text =
      code == 0 ? std::string(row->text) : info.source + ": " + row->text;
  return info;
}

const char *NextStepName(NextStep step) {
  for (const Keyword &k : kKeywords) {
    if (k.step == step) return k.name;
  }
  return "service";
}

std::string HexCode(uint16_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", code);
  return text;
}

size_t CodeCount() { return std::size(kRows) - 1; }

}  // namespace tavod
