"""The two records as typed objects: counts by denomination, flags by name,
the trade fields."""
import ctypes

import tavoctl
from tavoctl import records, virtual


def test_the_records_have_the_layout_of_the_header():
    assert ctypes.sizeof(records.PcbData) == 232
    assert ctypes.sizeof(records.TavoData) == 36
    assert (records.PcbData.TradeId.offset, records.PcbData.AcceptLimit.offset,
            records.PcbData.Credit.offset) == (208, 212, 214)
    assert (records.TavoData.CoinFlags.offset, records.TavoData.BillEscrow.offset,
            records.TavoData.BillFlags.offset) == (12, 22, 28)


def test_an_idle_unit(unit):
    board = unit.board()
    assert board.serial == "VIRTUAL00000001"
    assert (board.trade_id, board.credit, board.accept_limit) == (0, 0, 0)
    units = unit.poll()
    assert units.coin_fitted and units.note_fitted
    assert units.coin_stock == {10: 20, 50: 20, 100: 20, 500: 20}
    assert units.note_stock == 10
    assert units.stock_value == 20 * 660 + 10 * 1000
    assert units.coin_status & tavoctl.CoinStatus.STOPPED
    assert not units.coin_status & tavoctl.CoinStatus.ACCEPTING
    assert not units.pending and not units.paying_out
    assert isinstance(unit.backup(), tavoctl.Units)


def test_money_in_a_trade(trade):
    assert trade.board().accept_limit == 5000 and trade.board().trade_id > 0
    assert trade.poll().coin_status & tavoctl.CoinStatus.ACCEPTING
    virtual.pay([100, 100, 500, 1000])
    for _ in range(5):
        units = trade.poll()
    assert units.coins_in == {10: 0, 50: 0, 100: 2, 500: 1}
    assert units.notes_stacked + units.notes_in_escrow == 1
    assert trade.board().credit == 1700


def test_payout_is_reported_in_the_flags_and_the_counts(trade):
    virtual.pay([500, 100])
    trade.poll()
    trade.pay_back()
    units = trade.wait_idle(interval=0)
    assert units.coins_out == {10: 0, 50: 0, 100: 1, 500: 1}
    assert trade.board().credit == 0
    trade.trade_end()


def test_display_buzzer_and_port_reach_the_unit(unit):
    unit.display(45)
    unit.beep(b"\x10\x00\x10")
    unit.output_port(0x5A)
    s = virtual.state()
    assert s.digits == b"\x80\x80\x04\x05"
    assert s.buzzer == b"\x10\x00\x10"
    assert s.output_port == 0x5A
