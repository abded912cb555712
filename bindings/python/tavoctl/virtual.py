"""The virtual unit, driven from Python: play the customer, load the stock,
stage faults and check that every coin and note is accounted for, so that
an application's own tests can run whole sales without hardware.

    from tavoctl import Unit, virtual
    virtual.reset()
    with Unit("virtual") as unit:
        sale = unit.sell(1280, interval=0,
                         on_poll=virtual.customer_paying([1000, 500]))
    assert virtual.check_money().balanced

Works when the process's provider is the virtual unit (the default); it is
the C API of sim/tavovu.h, device 0 unless told otherwise.
"""
import ctypes
from ctypes import c_char, c_int, c_long, c_uint8, c_uint32
from dataclasses import dataclass
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Tuple

from . import _loader
from .records import COINS, NOTE

OK, ERR_DEVICE, ERR_ARGUMENT, REFUSED, NO_UNIT, JAMMED = 0, -1, -2, -3, -4, -5
COIN_UNIT, NOTE_UNIT = 0, 1
FAULT_SILENCE, FAULT_BAD_CHECK, FAULT_SHORT, FAULT_STATUS = 1, 2, 3, 4


class _Fault(ctypes.Structure):
    _fields_ = [("kind", c_int), ("command", c_int), ("sub", c_int),
                ("value", c_int), ("skip", c_int), ("count", c_int),
                ("status", c_uint8)]


class _State(ctypes.Structure):
    # The fields of vu_state read here, then room for what may follow.
    _fields_ = [
        ("open", c_int), ("started", c_int), ("restarting", c_int),
        ("clock", c_uint8 * 7), ("dots", c_uint8), ("digits", c_uint8 * 4),
        ("output_port", c_uint8), ("buzzer", c_uint8 * 32),
        ("buzzer_length", c_int), ("buzzer_commands", c_int),
        ("meters", c_uint32 * 15), ("backup_stored", c_int),
        ("baud_rate", c_uint32), ("read_timeout_ms", c_uint32),
        ("write_timeout_ms", c_uint32),
        ("coin_fitted", c_int), ("coin_jammed", c_int), ("coin_accepting", c_int),
        ("coin_stock", c_int * 4), ("coin_in", c_int * 4), ("coin_out", c_int * 4),
        ("coin_payout_running", c_int), ("coin_status", c_uint8),
        ("note_fitted", c_int), ("note_jammed", c_int), ("note_accepting", c_int),
        ("note_stock", c_int), ("note_escrow", c_int), ("note_out", c_int),
        ("note_payout_running", c_int), ("note_status", c_uint8 * 3),
        ("frames", c_uint32), ("frames_by_command", c_uint32 * 256),
        ("_room", c_char * 4096),
    ]


class _Money(ctypes.Structure):
    _fields_ = [(n, c_long * 5) for n in
                ("loaded", "inserted", "stock", "cashbox", "escrow", "paid")] + \
               [("unpaid", c_long), ("value_in", c_long), ("value_out", c_long),
                ("_room", c_char * 1024)]


@dataclass(frozen=True)
class State:
    """What the virtual unit holds now (a part of vu_state)."""
    board_started: bool
    digits: bytes  # the display's four digit codes
    buzzer: bytes  # the last buzzer pattern
    output_port: int
    coin_accepting: bool
    note_accepting: bool
    coin_stock: Dict[int, int]
    note_stock: int
    notes_in_escrow: int
    frames: int  # request frames the board received


@dataclass(frozen=True)
class Money:
    """Money conservation per denomination (10, 50, 100, 500, 1000)."""
    balanced: bool  # loaded + inserted = stock + cash box + escrow + paid
    inserted: Dict[int, int]
    paid: Dict[int, int]
    value_in: int
    value_out: int
    unpaid: int  # payout amount the stock could not pay


_declared: Optional[ctypes.CDLL] = None


def _vu() -> ctypes.CDLL:
    """The provider, with the prototypes of the vu_ functions declared."""
    global _declared
    loaded = _loader.load()
    if not loaded.is_virtual:
        raise RuntimeError(f"the provider of this process is {loaded.provider_path}, "
                           "not the virtual unit")
    if _declared is not loaded.provider:
        _declare(loaded.provider)
        _declared = loaded.provider
    return loaded.provider


def _result(r: int, what: str) -> int:
    if r in (ERR_DEVICE, ERR_ARGUMENT):
        raise ValueError(f"{what}: {'no such device' if r == ERR_DEVICE else 'bad argument'}")
    return r


def reset() -> None:
    """Back to one default device: 20 coins of each kind, 10 notes, both
    units fitted, no fault."""
    _vu().vu_reset()


def clear_devices() -> None:
    """The driver then lists no device (TAVO_Open: 0x0113)."""
    _vu().vu_clear_devices()


def insert_coin(value: int, device: int = 0) -> bool:
    """A customer inserts a coin; False when the unit gives it back
    (acceptance off, jammed, not fitted)."""
    if value not in COINS:
        raise ValueError(f"no coin of {value}: coins are {COINS}")
    return _result(_vu().vu_insert_coin(device, value), "insert_coin") == OK


def insert_note(value: int = NOTE, device: int = 0) -> bool:
    """A customer inserts a note; False when the unit gives it back."""
    r = _vu().vu_insert_note(device, value)
    if r == ERR_ARGUMENT:
        raise ValueError(f"no note of {value}: the note unit takes {NOTE}")
    return _result(r, "insert_note") == OK


def pay(amounts: Iterable[int], device: int = 0) -> int:
    """Inserts notes of 1000 and coins; returns the value taken."""
    taken = 0
    for value in amounts:
        ok = insert_note(value, device) if value == NOTE else insert_coin(value, device)
        taken += value if ok else 0
    return taken


def customer_paying(amounts: Iterable[int], device: int = 0) -> Callable[[int], None]:
    """An on_poll callback for Unit.sell(): one piece of money per poll."""
    queue = list(amounts)

    def on_poll(credit: int) -> None:
        if queue:
            pay([queue.pop(0)], device)
    return on_poll


def set_coin_stock(counts: Mapping[int, int], device: int = 0) -> None:
    """Loads the coin tubes: {10: n, 50: n, 100: n, 500: n}."""
    arr = (c_int * 4)(*(counts.get(v, 0) for v in COINS))
    _result(_vu().vu_set_coin_stock(device, arr), "set_coin_stock")


def set_note_stock(count: int, device: int = 0) -> None:
    _result(_vu().vu_set_note_stock(device, count), "set_note_stock")


def jam(unit: str = "coin", on: bool = True, device: int = 0) -> None:
    """Jams (or clears) the "coin" or "note" unit."""
    _result(_vu().vu_jam(device, COIN_UNIT if unit == "coin" else NOTE_UNIT, int(on)),
            "jam")


def fault(kind: int = FAULT_SILENCE, command: int = -1, sub: int = -1,
          value: int = -1, skip: int = 0, count: int = -1, status: int = 0,
          device: int = 0) -> None:
    """Adds a fault rule: frames matching command/sub/value (-1: any) are
    answered wrongly, after `skip` good ones, `count` times (-1: always)."""
    f = _Fault(kind, command, sub, value, skip, count, status)
    _result(_vu().vu_add_fault(device, ctypes.byref(f)), "fault")


def silence(command: int = -1, skip: int = 0, count: int = -1,
            device: int = 0) -> None:
    """The board stops answering (matching frames are lost)."""
    fault(FAULT_SILENCE, command, skip=skip, count=count, device=device)


def clear_faults(device: int = 0) -> None:
    _result(_vu().vu_clear_faults(device), "clear_faults")


def state(device: int = 0) -> State:
    s = _State()
    _result(_vu().vu_get_state(device, ctypes.byref(s)), "state")
    return State(bool(s.started), bytes(s.digits), bytes(s.buzzer[:s.buzzer_length]),
                 s.output_port, bool(s.coin_accepting), bool(s.note_accepting),
                 dict(zip(COINS, s.coin_stock)), s.note_stock, s.note_escrow, s.frames)


def check_money(device: int = 0) -> Money:
    m = _Money()
    r = _result(_vu().vu_check_money(device, ctypes.byref(m)), "check_money")
    kinds = COINS + (NOTE,)
    return Money(r == OK, dict(zip(kinds, m.inserted)), dict(zip(kinds, m.paid)),
                 m.value_in, m.value_out, m.unpaid)


def _declare(vu: ctypes.CDLL) -> None:
    prototypes: Tuple[Tuple[str, List[Any], Any], ...] = (
        ("vu_reset", [], None), ("vu_clear_devices", [], None),
        ("vu_insert_coin", [c_int, c_int], c_int),
        ("vu_insert_note", [c_int, c_int], c_int),
        ("vu_set_coin_stock", [c_int, ctypes.POINTER(c_int)], c_int),
        ("vu_set_note_stock", [c_int, c_int], c_int),
        ("vu_jam", [c_int, c_int, c_int], c_int),
        ("vu_add_fault", [c_int, ctypes.POINTER(_Fault)], c_int),
        ("vu_clear_faults", [c_int], c_int),
        ("vu_get_state", [c_int, ctypes.POINTER(_State)], c_int),
        ("vu_check_money", [c_int, ctypes.POINTER(_Money)], c_int))
    for name, args, res in prototypes:
        fn = getattr(vu, name)
        fn.argtypes, fn.restype = args, res


__all__ = ["reset", "clear_devices", "insert_coin", "insert_note", "pay",
           "customer_paying", "set_coin_stock", "set_note_stock", "jam", "fault",
           "silence", "clear_faults", "state", "check_money", "State", "Money"]
