#include "codes.h"

#include <cstdio>

namespace tavod {

CodeInfo DescribeCode(uint16_t code) {
  CodeInfo info;
  info.code = code;
  const tavoctl_result *row = tavoctl_result_find(code);
  if (!row) {
    info.next = code == 0 ? TAVOCTL_NEXT_NONE : TAVOCTL_NEXT_SERVICE;
    info.nextName = tavoctl_next_name(info.next);
    info.text = code == 0 ? "success"
                          : "code " + HexCode(code) +
                                " is not in the table of result codes";
    return info;
  }
  info.known = true;
  info.source = row->source;
  info.next = row->next;
  info.nextName = tavoctl_next_name(row->next);
  info.text =
      code == 0 ? std::string(row->text) : info.source + ": " + row->text;
  return info;
}

std::string HexCode(uint16_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", code);
  return text;
}

}  // namespace tavod
