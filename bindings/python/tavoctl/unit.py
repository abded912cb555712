"""One payment unit, opened as a context manager:

    with tavoctl.Unit("ttyusb") as unit:
        sale = unit.sell(1280)

Every call blocks until the unit has answered; a failure raises a TavoError
subclass (tavoctl.errors). The library drives one unit per process.
"""
import ctypes
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

from . import _loader
from ._loader import Folder, Provider
from .errors import TavoError, error_for
from .records import Board, PcbData, TavoData, Units

OPEN_BUT_UNSETTLED = 0x0119  # TAVO_Open: the unit is open all the same


@dataclass(frozen=True)
class Sale:
    price: int
    paid: int  # the customer's credit when the price was charged
    change: int  # paid back
    sold: bool  # False: the customer did not pay in time; all was paid back


class Unit:
    """The unit, opened on construction (or `open=False` and open())."""

    def __init__(self, provider: Optional[Provider] = None, *,
                 libdir: Optional[Folder] = None, open: bool = True) -> None:
        self._loaded = _loader.load(provider, libdir)
        self._lib = self._loaded.library
        self.handle: Optional[int] = None
        if open:
            self.open()

    # ------------------------------------------------------------ plumbing
    def _call(self, export: str, *args: Any) -> None:
        code = getattr(self._lib, export)(*args) & 0xFFFF
        if code:
            raise error_for(code, export)

    def _h(self) -> int:
        # 0 is never a handle the library hands out: the export then says
        # "no unit is open" in its own words.
        return self.handle or 0

    # ----------------------------------------------------------- lifecycle
    def open(self) -> "Unit":
        h = ctypes.c_uint32()
        code = self._lib.TAVO_Open(ctypes.byref(h)) & 0xFFFF
        if code == OPEN_BUT_UNSETTLED:
            # Open, but a money unit is not settled: closed again, so that a
            # unit nobody holds a handle to is not left open; the error says
            # to look before opening again.
            self._lib.TAVO_Close(h.value)
        if code:
            raise error_for(code, "TAVO_Open")
        self.handle = h.value
        return self

    def close(self) -> None:
        """Closes the unit; a second close does nothing."""
        if self.handle is not None:
            h, self.handle = self.handle, None
            code = self._lib.TAVO_Close(h) & 0xFFFF
            if code:
                raise error_for(code, "TAVO_Close")

    def __enter__(self) -> "Unit":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def is_open(self) -> bool:
        return self.handle is not None

    def reset(self) -> None:
        """Stops and resets the board; the unit is closed afterwards."""
        self._call("TAVO_Reset", self._h())
        self.handle = None

    def clear_backup(self) -> None:
        self._call("TAVO_ClearBackup", self._h())

    # ------------------------------------------------------------- records
    def poll(self) -> Units:
        """The money units as they are now. Poll this while a trade is open:
        it also takes a held note in and switches acceptance off at the
        limit."""
        r = TavoData()
        self._call("TAVO_GetTAVOData", self._h(), ctypes.byref(r))
        return Units.from_record(r)

    def board(self) -> Board:
        """The board record: the trade, the credit, the meters."""
        r = PcbData()
        self._call("TAVO_GetPCBData", self._h(), ctypes.byref(r))
        return Board.from_record(r)

    def backup(self) -> Units:
        """The money units as the board's backup memory held them at open."""
        r = TavoData()
        self._call("TAVO_GetBackupData", self._h(), ctypes.byref(r))
        return Units.from_record(r)

    # -------------------------------------------------------------- trades
    def trade_begin(self) -> None:
        self._call("TAVO_TradeBegin", self._h())

    def trade_end(self) -> None:
        self._call("TAVO_TradeEnd", self._h())

    def accept(self, limit: int, notes: Optional[int] = None) -> None:
        """Accepts money up to `limit` (at most `notes` notes, 3 by default)."""
        if notes is None:
            self._call("TAVO_Accept", self._h(), limit)
        else:
            self._call("TAVO_AcceptEx", self._h(), limit, notes)

    def charge(self, amount: int) -> None:
        self._call("TAVO_Charge", self._h(), amount)

    def pay_back(self) -> None:
        """Starts paying the whole credit back; poll until wait_idle()."""
        self._call("TAVO_PayBack", self._h())

    def pay_out(self, amount: int) -> None:
        self._call("TAVO_PayOut", self._h(), amount)

    # ------------------------------------------------------------- signals
    def display(self, number: int, mode: int = 3) -> None:
        """Shows a number: mode 0/1 hexadecimal (1 without leading zeros),
        2/3 decimal (3 without leading zeros)."""
        self._call("TAVO_7SegNum", self._h(), mode, number)

    def display_dots(self, mask: int) -> None:
        self._call("TAVO_7SegDot", self._h(), mask)

    def display_segments(self, patterns: bytes) -> None:
        """Four raw segment patterns, one per digit."""
        buf = (ctypes.c_uint8 * 4).from_buffer_copy(bytes(patterns)[:4].ljust(4, b"\0"))
        self._call("TAVO_7SegPtn", self._h(), buf)

    def beep(self, pattern: bytes) -> None:
        """Plays a buzzer pattern (up to 32 bytes, passed through)."""
        data = bytes(pattern)
        buf = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")
        self._call("TAVO_BuzzCtrl", self._h(), len(data), buf)

    def output_port(self, value: int) -> None:
        self._call("TAVO_OutputPort", self._h(), value)

    def user_counter(self, counter: int, count: int) -> None:
        self._call("TAVO_UserCnt", self._h(), counter, count)

    # --------------------------------------------------------------- sales
    def wait_idle(self, timeout: float = 10.0, interval: float = 0.1,
                  sleep: Callable[[float], None] = time.sleep) -> Units:
        """Polls until no command is pending and the credit is 0 (a payout
        has been reported). Raises TimeoutError."""
        deadline = time.monotonic() + timeout
        while True:
            units = self.poll()
            if not units.pending and self.board().credit == 0:
                return units
            if time.monotonic() > deadline:
                raise TimeoutError("the units did not report the payout in time")
            sleep(interval)

    def sell(self, price: int, *, timeout: float = 120.0, interval: float = 0.2,
             on_poll: Optional[Callable[[int], None]] = None,
             sleep: Callable[[float], None] = time.sleep) -> Sale:
        """One whole sale: opens a trade, accepts money up to `price`, polls
        every `interval` seconds until the credit covers it, charges, pays
        the change back and ends the trade. `on_poll(credit)` is called after
        each poll (show the credit; on the virtual unit, play the customer).
        If the customer has not paid after `timeout` seconds, whatever was
        inserted is paid back and the Sale says sold=False. A failure pays
        back what it can and raises."""
        self.trade_begin()
        charged = False
        try:
            self.accept(price)
            deadline = time.monotonic() + timeout
            while True:
                self.poll()
                credit = self.board().credit
                if on_poll:
                    on_poll(credit)
                if credit >= price:
                    break
                if time.monotonic() > deadline:
                    refunded = self._refund()
                    return Sale(price, refunded, refunded, False)
                sleep(interval)
            self.charge(price)
            charged = True
            change = self.board().credit
            if change:
                self.pay_back()
                self.wait_idle(sleep=sleep)
            self.trade_end()
            return Sale(price, credit, change, True)
        except TavoError:
            if not charged:
                try:
                    self._refund()
                except (TavoError, TimeoutError):
                    pass  # the first failure is the one to report
            raise

    def _refund(self) -> int:
        """Pays back whatever the customer has, ends the trade; returns
        what was paid back."""
        credit = self.board().credit
        if credit:
            self.pay_back()
            self.wait_idle()
        self.trade_end()
        return credit
