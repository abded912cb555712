"""The unit's two records, as the library lays them out (the ctypes
structures, byte for byte as in tavoctl.h) and as an application reads them
(frozen dataclasses with counts per denomination and flags by name)."""
import ctypes
import enum
from ctypes import c_uint8, c_uint16, c_uint32
from dataclasses import dataclass
from typing import Dict, Iterable, Tuple

COINS = (10, 50, 100, 500)  # the coin unit's denominations, in record order
NOTE = 1000  # the note unit's one denomination


class PcbData(ctypes.Structure):
    """The board record, 232 bytes."""
    _fields_ = [
        ("SerialNo", c_uint8 * 16),
        ("BoardText", c_uint8 * 128),
        ("Meters", c_uint32 * 15),
        ("BoardAux", c_uint32),
        ("TradeId", c_uint32),
        ("AcceptLimit", c_uint16),
        ("Credit", c_uint16),
        ("BoardBlockA", c_uint8 * 7),
        ("BoardBlockB", c_uint8 * 7),
        ("Reserved", c_uint8 * 2),
    ]


class TavoData(ctypes.Structure):
    """A money-unit record, 36 bytes."""
    _fields_ = [
        ("CoinIn", c_uint8 * 4),
        ("CoinStock", c_uint8 * 4),
        ("CoinOut", c_uint8 * 4),
        ("CoinFlags", c_uint32),
        ("CoinAux", c_uint32),
        ("CoinUnitId", c_uint8 * 2),
        ("BillEscrow", c_uint8),
        ("BillStacked", c_uint8),
        ("BillStock", c_uint8),
        ("BillOut", c_uint8),
        ("BillUnitId", c_uint8 * 2),
        ("BillFlags", c_uint32),
        ("BillAux", c_uint32),
    ]


assert ctypes.sizeof(PcbData) == 232 and PcbData.Credit.offset == 214
assert ctypes.sizeof(TavoData) == 36 and TavoData.BillFlags.offset == 28


class CoinStatus(enum.IntFlag):
    """The coin unit's last status byte (TAVO_COIN_*)."""
    ACCEPTING = 0x01
    STOPPED = 0x04
    LATCHED = 0x08  # reported once, until the next poll has returned it
    PAYOUT = 0x10
    SETTLED = 0x20


class NoteStatus(enum.IntFlag):
    """The note unit's first status byte (TAVO_BILL_*)."""
    ACCEPTING = 0x01
    STOPPED = 0x04
    PAYOUT = 0x08
    SETTLED = 0x10
    HELD = 0x20  # a note is held in escrow


class Pending(enum.IntFlag):
    """Commands the library sent that the unit has not reported done
    (TAVO_PENDING_*); while any is set the trade and money calls refuse."""
    SETTLE = 0x01
    PAYOUT = 0x02
    RECHECK = 0x04  # note unit: a note is being taken in
    COUNT = 0x08  # note unit: a note waits to be counted


def _text(raw: Iterable[int]) -> str:
    return bytes(raw).split(b"\0", 1)[0].decode("ascii", "replace")


@dataclass(frozen=True)
class Board:
    """The board: the trade in progress and the meters."""
    serial: str  # USB serial number of the bridge
    text: str  # the board's own text
    trade_id: int  # number of the open trade, 0 for none
    accept_limit: int  # money is accepted up to this amount
    credit: int  # the customer's money in the trade
    charged: int  # amount charged in this trade (meter 8)
    meters: Tuple[int, ...]
    firmware: int

    @classmethod
    def from_record(cls, r: PcbData) -> "Board":
        return cls(_text(r.SerialNo), _text(r.BoardText), r.TradeId,
                   r.AcceptLimit, r.Credit, r.Meters[8], tuple(r.Meters),
                   r.BoardAux)


@dataclass(frozen=True)
class Units:
    """The coin unit and the note unit. Coin counts are by denomination
    ({10: n, 50: n, 100: n, 500: n})."""
    coin_fitted: bool
    coins_in: Dict[int, int]  # taken in during this trade
    coin_stock: Dict[int, int]  # available for payout
    coins_out: Dict[int, int]  # paid out
    coin_status: CoinStatus
    coin_pending: Pending
    note_fitted: bool
    notes_in_escrow: int
    notes_stacked: int  # taken in during this trade
    note_stock: int
    notes_out: int
    note_status: NoteStatus
    note_pending: Pending

    @property
    def pending(self) -> bool:
        """A command to a unit is not yet done: keep polling."""
        return bool(self.coin_pending or self.note_pending)

    @property
    def paying_out(self) -> bool:
        return bool(self.coin_status & CoinStatus.PAYOUT or
                    self.note_status & NoteStatus.PAYOUT)

    @property
    def stock_value(self) -> int:
        return sum(v * n for v, n in self.coin_stock.items()) + NOTE * self.note_stock

    @classmethod
    def from_record(cls, r: TavoData) -> "Units":
        def coins(a: Iterable[int]) -> Dict[int, int]:
            return dict(zip(COINS, a))
        return cls(
            any(r.CoinUnitId), coins(r.CoinIn), coins(r.CoinStock), coins(r.CoinOut),
            CoinStatus(r.CoinFlags & 0xFF), Pending(r.CoinFlags >> 24),
            any(r.BillUnitId), r.BillEscrow, r.BillStacked, r.BillStock, r.BillOut,
            NoteStatus(r.BillFlags & 0xFF), Pending(r.BillFlags >> 24))
