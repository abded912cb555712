// The records that mirror the unit, and the decoders that write the units'
// item lists into them.
//
// An item list is a run of entries: a length byte L, then L bytes holding a
// tag and its value. Each tag's value has a fixed size, whatever L says; L
// only finds the next entry. Board values are big-endian, coin and note unit
// values little-endian, counts of coins and notes packed BCD.
#include <cstring>

#include "state/state.h"

namespace {

// Walks the complete entries of a list in order and hands each tag and
// value to `decode`. A truncated last entry is not decoded. An entry whose
// fixed-size value would run past the received data is skipped rather than
// read past it: the bytes beyond are not the unit's. An entry with L = 0 has
// no tag and is stepped over.
template <typename Decode>
void WalkItems(uint32_t length, const uint8_t *data,
               uint32_t (*valueSize)(uint8_t), Decode decode) {
  uint32_t p = 0;
  while (p < length && p + 1 + data[p] <= length) {
    uint32_t entry = data[p];
    if (entry >= 1) {
      uint8_t tag = data[p + 1];
      uint32_t size = valueSize(tag);
      if (size > 0 && p + 2 + size <= length) decode(tag, data + p + 2);
    }
    p += entry + 1;
  }
}

uint32_t BoardValueSize(uint8_t tag) {
  switch (tag) {
    case 0x79:
      return 3;
    case 0x7A:
      return 60;
    case 0x7B:
      return 14;
    case 0x7D:
      return 127;
    default:
      return 0;  // unknown, 0x7C included: skipped
  }
}

uint32_t CoinValueSize(uint8_t tag) {
  switch (tag) {
    case 0x08:
    case 0x09:
    case 0x0A:
      return 4;
    case 0x0B:
      return 1;
    case 0x0C:
      return 3;
    case 0x0D:
      return 2;
    default:
      return 0;
  }
}

uint32_t BillValueSize(uint8_t tag) {
  switch (tag) {
    case 0x18:
    case 0x19:
    case 0x1A:
      return 1;
    case 0x1B:
      return 3;
    case 0x1C:
    case 0x1D:
      return 2;
    default:
      return 0;
  }
}

uint32_t BigEndian(const uint8_t *v, uint32_t n) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < n; ++i) value = (value << 8) | v[i];
  return value;
}

uint32_t LittleEndian(const uint8_t *v, uint32_t n) {
  uint32_t value = 0;
  for (uint32_t i = n; i > 0; --i) value = (value << 8) | v[i - 1];
  return value;
}

void CountsFromBcd(uint8_t out[4], const uint8_t *v) {
  for (int k = 0; k < 4; ++k) out[k] = FromBcd(v[k]);
}

}  // namespace

// A nibble above 9 is not rejected: 0xAB gives 10 * 10 + 11 = 111.
uint8_t FromBcd(uint8_t value) {
  return static_cast<uint8_t>((value >> 4) * 10 + (value & 0x0F));
}

void DecodeBoardItems(PcbData *record, uint32_t length, const uint8_t *data) {
  WalkItems(length, data, BoardValueSize,
            [record](uint8_t tag, const uint8_t *v) {
              switch (tag) {
                case 0x79:
                  record->BoardAux = BigEndian(v, 3);
                  break;
                case 0x7A:
                  for (int i = 0; i < 15; ++i)
                    record->Meters[i] = BigEndian(v + 4 * i, 4);
                  break;
                case 0x7B:
                  std::memcpy(record->BoardBlockA, v, 7);
                  std::memcpy(record->BoardBlockB, v + 7, 7);
                  break;
                case 0x7D:
                  std::memcpy(record->BoardText, v, 127);
                  record->BoardText[127] = 0;
                  break;
                default:
                  break;
              }
            });
}

void DecodeCoinItems(TavoData *record, uint32_t length, const uint8_t *data) {
  WalkItems(
      length, data, CoinValueSize, [record](uint8_t tag, const uint8_t *v) {
        switch (tag) {
          case 0x08:
            CountsFromBcd(record->CoinIn, v);
            break;
          case 0x09:
            CountsFromBcd(record->CoinStock, v);
            break;
          case 0x0A:
            CountsFromBcd(record->CoinOut, v);
            break;
          case 0x0B: {
            // The unit's report of a settle or a payout completes the command
            // the library sent. Bit 0x08 latches until the application has seen
            // it through TAVO_GetTAVOData.
            uint8_t s = v[0];
            if (s & CoinSettled)
              Unit.CoinPending &= static_cast<uint8_t>(~PendingSettle);
            if (s & CoinPayoutBit)
              Unit.CoinPending &=
                  static_cast<uint8_t>(~(PendingPayout | PendingUnconfirmed));
            record->CoinFlags = s | (record->CoinFlags & CoinLatched) |
                                (static_cast<uint32_t>(Unit.CoinPending) << 24);
            break;
          }
          case 0x0C:
            record->CoinAux = LittleEndian(v, 3);
            break;
          case 0x0D:
            record->CoinUnitId[0] = v[0];
            record->CoinUnitId[1] = v[1];
            break;
          default:
            break;
        }
      });
}

void DecodeBillItems(TavoData *record, uint32_t length, const uint8_t *data) {
  WalkItems(
      length, data, BillValueSize, [record](uint8_t tag, const uint8_t *v) {
        switch (tag) {
          case 0x18:
            record->BillEscrow = FromBcd(v[0]);
            break;
          case 0x19:
            record->BillStock = FromBcd(v[0]);
            break;
          case 0x1A:
            record->BillOut = FromBcd(v[0]);
            break;
          case 0x1B: {
            uint8_t s0 = v[0];
            if (s0 & BillSettled)
              Unit.BillPending &= static_cast<uint8_t>(~PendingSettle);
            if (s0 & BillPayoutBit)
              Unit.BillPending &=
                  static_cast<uint8_t>(~(PendingPayout | PendingUnconfirmed));
            record->BillFlags = LittleEndian(v, 3) |
                                (static_cast<uint32_t>(Unit.BillPending) << 24);
            break;
          }
          case 0x1C:
            record->BillAux = LittleEndian(v, 2);
            break;
          case 0x1D:
            record->BillUnitId[0] = v[0];
            record->BillUnitId[1] = v[1];
            break;
          default:
            break;
        }
      });
}

bool CoinFitted() {
  return Unit.LiveRecord.CoinUnitId[0] != 0 ||
         Unit.LiveRecord.CoinUnitId[1] != 0;
}

bool BillFitted() {
  return Unit.LiveRecord.BillUnitId[0] != 0 ||
         Unit.LiveRecord.BillUnitId[1] != 0;
}
