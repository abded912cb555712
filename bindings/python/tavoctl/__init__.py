"""tavoctl: sell for cash with a TAVO payment unit (coin unit, note unit,
display, buzzer) through the tavoctl library.

    import tavoctl
    with tavoctl.Unit("ttyusb") as unit:      # a real unit on Linux
        sale = unit.sell(1280, on_poll=lambda credit: print(credit))

The library (libtavoctl.so.1, tavoctl.dll) and a D2XX provider are loaded
on the first Unit: the virtual unit unless told otherwise (see
tavoctl._loader for where they are looked for). Failures raise TavoError
subclasses that say what to do next; tavoctl.virtual plays the customer on
the virtual unit.
"""
from ._loader import LoadError, load
from .errors import (Busy, CallError, NotOpen, PartlyDone, PayBackFirst, PollFirst,
                     ServiceNeeded, TavoError, TryAgain, error_for, message)
from .records import COINS, NOTE, Board, CoinStatus, NoteStatus, Pending, Units
from .unit import Sale, Unit

__version__ = "1.0.0"
__all__ = ["Unit", "Sale", "Board", "Units", "CoinStatus", "NoteStatus", "Pending",
           "COINS", "NOTE", "TavoError", "TryAgain", "Busy", "PollFirst",
           "PayBackFirst", "PartlyDone", "NotOpen", "CallError", "ServiceNeeded",
           "LoadError", "load", "error_for", "message"]
