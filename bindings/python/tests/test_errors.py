"""Each kind of failure arrives as its TavoError subclass, with the code,
the export called and the table's text."""
import pytest

import tavoctl
from tavoctl import errors, virtual


def closed(unit):
    unit.close()
    unit.poll()


def charge_without_trade(unit):
    unit.charge(100)


def end_with_credit(unit):
    unit.trade_begin()
    unit.accept(1000)
    virtual.pay([500])
    unit.poll()
    unit.trade_end()


def charge_above_credit(unit):
    unit.trade_begin()
    unit.accept(1000)
    unit.charge(500)


def open_without_device(unit):
    unit.close()
    virtual.clear_devices()
    unit.open()


def silent_board(unit):
    virtual.silence()
    unit.board()


def bad_mode(unit):
    unit.display(12, mode=9)


@pytest.mark.parametrize("act, kind, code, export, next_step", [
    (closed, tavoctl.NotOpen, 0x0601, "TAVO_GetTAVOData", "reopen"),
    (charge_without_trade, tavoctl.CallError, 0x1303, "TAVO_Charge", "fix-call"),
    (bad_mode, tavoctl.CallError, 0x2273, "TAVO_7SegNum", "fix-call"),
    (end_with_credit, tavoctl.PayBackFirst, 0x1171, "TAVO_TradeEnd", "pay-back"),
    (charge_above_credit, tavoctl.PollFirst, 0x1374, "TAVO_Charge", "poll"),
    (open_without_device, tavoctl.ServiceNeeded, 0x0113, "TAVO_Open", "service"),
    (silent_board, tavoctl.TryAgain, 0x0537, "TAVO_GetPCBData", "retry"),
])
def test_each_kind_of_failure(unit, act, kind, code, export, next_step):
    with pytest.raises(kind) as e:
        act(unit)
    err = e.value
    assert (err.code, err.export, err.next) == (code, export, next_step)
    assert err.text == errors.CODES[code][2]
    assert str(err).startswith(f"0x{code:04X} ")
    assert isinstance(err, tavoctl.TavoError)


def test_every_code_of_the_table_has_the_class_of_its_next_step():
    assert len(errors.CODES) > 200
    for code, (source, next_step, text) in errors.CODES.items():
        if code == 0:
            continue
        err = errors.error_for(code, "TAVO_X")
        assert err.next == next_step and err.source == source
        # "none" (TAVO_Close with nothing open) has no class of its own.
        want = None if next_step == "none" else next_step
        assert type(err).next_step == want, hex(code)
    assert isinstance(errors.error_for(0x0013, "TAVO_Close"), tavoctl.Busy)
    assert errors.message(0x1375).startswith("TAVO_Charge: the change")


def test_a_code_no_export_returns():
    err = errors.error_for(0x0118, "TAVO_Open")
    assert type(err) is tavoctl.TavoError and err.next is None
    assert err.text == "unknown result code 0x0118"


def test_an_open_that_leaves_a_unit_unsettled_closes_it_again(unit):
    unit.close()
    # The coin unit's settle command (CoinCtrl 63, control 00, settle 02)
    # goes unanswered during the open.
    virtual.fault(virtual.FAULT_SILENCE, command=0x63, sub=0x00, value=0x02)
    with pytest.raises(tavoctl.PartlyDone) as e:
        tavoctl.Unit("virtual")
    assert e.value.code == 0x0119 and e.value.next == "read-board"
    virtual.clear_faults()
    with tavoctl.Unit("virtual") as again:  # not 0x0111: nothing stayed open
        assert again.board().trade_id == 0
