"""Result codes as exceptions. Every code but 0 raises a TavoError of the
subclass that says what the application does next (the table's `next`
column): catch TryAgain to retry, PollFirst to poll and retry, and so on.

The texts come from data/result-codes.tsv, generated into _codes.py when
the package is built (read from the table itself in a source checkout).
"""
import os
from typing import Dict, List, Optional, Tuple, Type

# code: (source, next, text)
Table = Dict[int, Tuple[str, str, str]]


def _table() -> Tuple[Table, List[str]]:
    try:
        from ._codes import CODES as codes, NEXT as next_steps
        return codes, next_steps
    except ImportError:  # a source checkout: read the table beside the code
        pass
    codes, next_steps = {}, []
    path = os.path.join(os.path.dirname(__file__), "..", "..", "..", "data",
                        "result-codes.tsv")
    with open(path, encoding="ascii") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                code, source, next_step, text = line.rstrip("\n").split("\t")[:4]
                codes[int(code, 16)] = (source, next_step, text)
                if next_step not in next_steps:
                    next_steps.append(next_step)
    return codes, next_steps


CODES, NEXT = _table()


class TavoError(Exception):
    """An export returned a code other than 0.

    code:   the 16-bit result code
    export: the export that was called (e.g. "TAVO_Accept")
    source: the export or shared step the table names for the code
    next:   what to do next: "retry", "poll", "pay-back", "read-board",
            "reopen", "fix-call" or "service" (None: a code no export returns)
    text:   the meaning and the advice, from the table
    """
    next_step: Optional[str] = None

    def __init__(self, code: int, export: str) -> None:
        self.code = code
        self.export = export
        self.source: str
        self.next: Optional[str]
        self.text: str
        entry = CODES.get(code)
        if entry:
            self.source, self.next, self.text = entry
        else:
            self.source, self.next = export, None
            self.text = f"unknown result code 0x{code:04X}"
        super().__init__(f"0x{code:04X} {self.source}: {self.text}")


class TryAgain(TavoError):
    """Nothing changed on the unit: call the same export again."""
    next_step = "retry"


class Busy(TryAgain):
    """Another export is running (from another thread); the code is its
    function number."""


class PollFirst(TavoError):
    """A unit is still busy with earlier work: poll, then call again."""
    next_step = "poll"


class PayBackFirst(TavoError):
    """The customer's credit must be paid back (or charged) first."""
    next_step = "pay-back"


class PartlyDone(TavoError):
    """Part of the work may have been done: read the records first."""
    next_step = "read-board"


class NotOpen(TavoError):
    """No unit is open: open one."""
    next_step = "reopen"


class CallError(TavoError):
    """The call itself was wrong (argument, handle, order)."""
    next_step = "fix-call"


class ServiceNeeded(TavoError):
    """A person must act: cable, power, driver, stock."""
    next_step = "service"


_BY_NEXT: Dict[Optional[str], Type[TavoError]] = {
    c.next_step: c for c in (TryAgain, PollFirst, PayBackFirst, PartlyDone,
                             NotOpen, CallError, ServiceNeeded)}


def error_for(code: int, export: str) -> TavoError:
    """The exception for `code` returned by `export`."""
    if 0 < code < 0x100 and code in CODES:
        return Busy(code, export)
    entry = CODES.get(code)
    cls: Type[TavoError] = _BY_NEXT.get(entry[1], TavoError) if entry else TavoError
    return cls(code, export)


def message(code: int) -> str:
    """The table's text for a code, as the C helper formats it."""
    entry = CODES.get(code)
    if entry is None:
        return f"unknown result code 0x{code:04X}"
    return entry[2] if code == 0 else f"{entry[0]}: {entry[2]}"
