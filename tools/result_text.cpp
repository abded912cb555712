#include "result_text.h"

#include "tavoctl_text.h"

namespace tavo {
namespace {

struct Export {
  uint8_t number;
  const char *name;
};

// The function numbers of the exports (the busy codes), as tavoctl.h names
// them in TAVO_FN_*.
constexpr Export kExports[] = {
    {0x01, "TAVO_Open"},          {0x02, "TAVO_Close"},
    {0x03, "TAVO_ClearBackup"},   {0x04, "TAVO_Reset"},
    {0x05, "TAVO_GetPCBData"},    {0x06, "TAVO_GetTAVOData"},
    {0x07, "TAVO_GetBackupData"}, {0x10, "TAVO_TradeBegin"},
    {0x11, "TAVO_TradeEnd"},      {0x12, "TAVO_AcceptEx"},
    {0x13, "TAVO_Charge"},        {0x14, "TAVO_PayBack"},
    {0x15, "TAVO_PayOut"},        {0x21, "TAVO_7SegDot"},
    {0x22, "TAVO_7SegNum"},       {0x23, "TAVO_7SegPtn"},
    {0x24, "TAVO_BuzzCtrl"},      {0x25, "TAVO_OutputPort"},
    {0x26, "TAVO_UserCnt"},
};

}  // namespace

const char *ExportName(uint32_t functionNumber) {
  for (const Export &e : kExports) {
    if (e.number == functionNumber) return e.name;
  }
  return nullptr;
}

bool IsKnownResult(uint32_t code) {
  return code <= 0xFFFF && tavoctl_result_find(code) != nullptr;
}

std::string ResultText(uint32_t code) {
  char text[512];
  return tavoctl_result_message(code, text, sizeof text);
}

const char *NextStep(uint32_t code) {
  const tavoctl_result *r = tavoctl_result_find(code);
  return r ? tavoctl_next_name(r->next) : nullptr;
}

std::vector<uint16_t> AllResultCodes() {
  size_t count = 0;
  const tavoctl_result *table = tavoctl_result_table(&count);
  std::vector<uint16_t> codes;
  for (size_t i = 0; i < count; ++i) codes.push_back(table[i].code);
  return codes;
}

}  // namespace tavo
