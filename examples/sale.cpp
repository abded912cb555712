// One whole sale with tavoctl, in C++, on the virtual unit: the unit held
// by an object that closes it, each failure an exception with the table's
// text. Exit 0 when the sale balanced.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tavoctl.h"
#include "tavoctl_text.h"
#include "tavovu.h"

class UnitError : public std::runtime_error {
 public:
  explicit UnitError(uint32_t code)
      : std::runtime_error(Message(code)), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  static std::string Message(uint32_t code) {
    char text[256];
    return tavoctl_result_message(code, text, sizeof text);
  }
  uint32_t code_;
};

inline void Check(uint32_t code) {
  if (code != TAVO_OK) throw UnitError(code);
}

class Unit {
 public:
  Unit() { Check(TAVO_Open(&handle_)); }
  ~Unit() { TAVO_Close(handle_); }
  Unit(const Unit &) = delete;
  Unit &operator=(const Unit &) = delete;

  uint32_t handle() const { return handle_; }
  // The customer's credit, after one poll of both records.
  unsigned Poll(TavoData *units) {
    PcbData board{};
    Check(TAVO_GetTAVOData(handle_, units));
    Check(TAVO_GetPCBData(handle_, &board));
    return board.Credit;
  }

 private:
  uint32_t handle_ = 0;
};

int main() try {
  const unsigned price = 1280;
  Unit unit;
  TavoData units{};
  Check(TAVO_TradeBegin(unit.handle()));
  Check(TAVO_Accept(unit.handle(), price));
  vu_insert_note(0, 1000);  // the virtual customer
  vu_insert_coin(0, 500);
  for (int i = 0; i < 50 && unit.Poll(&units) < price; ++i) {
  }
  Check(TAVO_Charge(unit.handle(), price));
  Check(TAVO_PayBack(unit.handle()));
  for (int i = 0; i < 50; ++i) {  // until the change is paid
    unsigned credit = unit.Poll(&units);
    bool pending = (units.CoinFlags >> 24) || (units.BillFlags >> 24);
    if (credit == 0 && !pending) break;
  }
  Check(TAVO_TradeEnd(unit.handle()));
  vu_money_report money{};
  vu_check_money(0, &money);
  std::printf("sold for %u: paid %ld, change %ld\n", price, money.value_in,
              money.value_out);
  return money.value_in - money.value_out == price ? 0 : 1;
} catch (const UnitError &e) {
  std::fprintf(stderr, "0x%04X %s\n", e.code(), e.what());
  return 1;
}
