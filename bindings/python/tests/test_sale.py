"""Whole sales through Unit.sell() against the virtual unit, with the money
checked on the unit's side."""
import pytest

import tavoctl
from tavoctl import virtual


@pytest.mark.parametrize("price, pays, change, coins_out", [
    (1280, [1000, 500], 220, {10: 2, 50: 0, 100: 2, 500: 0}),
    (1500, [500, 500, 500], 0, {10: 0, 50: 0, 100: 0, 500: 0}),
    (730, [1000], 270, {10: 2, 50: 1, 100: 2, 500: 0}),
])
def test_a_sale_balances_and_pays_the_change_in_coins(unit, price, pays, change, coins_out):
    credits = []

    def customer(credit):
        credits.append(credit)
        virtual.customer_paying(pays[len(credits) - 1:len(credits)])(credit)

    sale = unit.sell(price, interval=0, on_poll=customer)
    assert sale == tavoctl.Sale(price, sum(pays), change, True)
    assert credits[0] == 0 and credits[-1] == sum(pays)
    money = virtual.check_money()
    assert money.balanced and money.unpaid == 0
    assert (money.value_in, money.value_out) == (sum(pays), change)
    assert {v: money.paid[v] for v in tavoctl.COINS} == coins_out
    assert unit.board().trade_id == 0  # the trade is closed


def test_a_customer_who_does_not_pay_in_time_gets_the_money_back(unit):
    polls = []
    sale = unit.sell(1280, timeout=0, interval=0,
                     on_poll=lambda credit: polls.append(virtual.pay([500])))
    assert sale == tavoctl.Sale(1280, 500, 500, False)
    money = virtual.check_money()
    assert money.balanced and (money.value_in, money.value_out) == (500, 500)
    assert unit.board().trade_id == 0


def test_a_failed_charge_pays_the_customer_back_and_raises(unit):
    virtual.set_coin_stock({500: 20})  # no coin below 500: no change of 220
    with pytest.raises(tavoctl.PayBackFirst) as e:
        unit.sell(1280, interval=0, on_poll=virtual.customer_paying([1000, 500]))
    assert e.value.code == 0x1375 and e.value.export == "TAVO_Charge"
    money = virtual.check_money()
    assert money.balanced and money.value_in == money.value_out == 1500
    assert unit.board().trade_id == 0
