/* tavoctl_change.h: how the library pays change from the unit's stock, for
 * an application that wants to know before it asks: whether an amount can
 * be paid exactly, how it would be split, and the largest amount the stock
 * pays exactly right now. The library itself pays by these very functions,
 * so the answer is the library's own.
 *
 * Header-only, C99 or C++: nothing here is exported by the library, and it
 * needs neither the library nor a driver, only a TavoData record (from
 * TAVO_GetTAVOData).
 *
 * The rule: notes of 1000 first, as many as the amount and the note stock
 * allow but at most nine (one payout command carries one decimal digit of
 * count), then coins of 500, 100, 50 and 10, each as many as the rest and
 * the stock allow. Each denomination divides the next larger one, so this
 * greedy split finds a way whenever there is one. Only fitted units pay (a
 * unit whose two id bytes are 0 has dropped out, whatever stock it last
 * reported), and no coin's count paid out in the trade may pass the 99 the
 * unit counts to: the coins beyond would be paid and never counted.
 */
#ifndef TAVOCTL_CHANGE_H
#define TAVOCTL_CHANGE_H

#include <stdint.h>

#include "tavoctl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The most notes one payout pays. */
#define TAVOCTL_CHANGE_MAX_NOTES 9u

typedef struct tavoctl_change {
  uint32_t notes;    /* notes of 1000 */
  uint32_t coins[4]; /* coins of 10, 50, 100 and 500, as TavoData orders them */
  uint32_t rest;     /* what the stock cannot pay: 0 when the split is exact */
} tavoctl_change;

/* How `value` is paid from the stock in `live` (`out` may be NULL): 1 when
 * it is paid exactly, 0 when it cannot be (a rest is left, or a coin's count
 * paid out would pass 99). */
static inline int tavoctl_change_split(const TavoData *live, uint32_t value,
                                       tavoctl_change *out) {
  static const uint32_t coin_value[4] = {10, 50, 100, 500};
  tavoctl_change c = {0, {0, 0, 0, 0}, 0};
  int coins_fitted = live->CoinUnitId[0] != 0 || live->CoinUnitId[1] != 0;
  int notes_fitted = live->BillUnitId[0] != 0 || live->BillUnitId[1] != 0;
  int counts_fit = 1;
  int k;
  if (notes_fitted) {
    c.notes = value / 1000u;
    if (c.notes > live->BillStock) c.notes = live->BillStock;
    if (c.notes > TAVOCTL_CHANGE_MAX_NOTES) c.notes = TAVOCTL_CHANGE_MAX_NOTES;
  }
  c.rest = value - 1000u * c.notes;
  for (k = 3; coins_fitted && k >= 0; --k) {
    uint32_t take = c.rest / coin_value[k];
    if (take > live->CoinStock[k]) take = live->CoinStock[k];
    if (live->CoinOut[k] + take > 99u) counts_fit = 0;
    c.coins[k] = take;
    c.rest -= coin_value[k] * take;
  }
  if (out) *out = c;
  return c.rest == 0 && counts_fit;
}

/* The largest amount, up to `limit`, that the stock in `live` pays
 * exactly (0 when it pays nothing). */
static inline uint32_t tavoctl_change_largest(const TavoData *live,
                                              uint32_t limit) {
  /* Every amount the stock pays is a multiple of 10, and no more than the
   * stock holds: nine notes and four tubes of at most 99 coins each. */
  uint32_t held = 1000u * (live->BillStock < TAVOCTL_CHANGE_MAX_NOTES
                               ? live->BillStock
                               : TAVOCTL_CHANGE_MAX_NOTES) +
                  10u * live->CoinStock[0] + 50u * live->CoinStock[1] +
                  100u * live->CoinStock[2] + 500u * live->CoinStock[3];
  uint32_t value = (limit < held ? limit : held) / 10u * 10u;
  for (; value > 0; value -= 10u) {
    if (tavoctl_change_split(live, value, (tavoctl_change *)0)) return value;
  }
  return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* TAVOCTL_CHANGE_H */
