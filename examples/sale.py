"""One whole sale with tavoctl, in Python, on the virtual unit: price 1280,
the customer pays 1000 + 500, the unit pays 220 back. For a real unit, give
its provider ("ttyusb", "ftdi", or a path) and leave out `virtual`."""
import sys

import tavoctl
from tavoctl import virtual

virtual.reset()
with tavoctl.Unit("virtual") as unit:
    try:
        sale = unit.sell(1280, interval=0,  # a real unit: poll every 0.2 s
                         on_poll=virtual.customer_paying([1000, 500]))
    except tavoctl.TavoError as e:  # e.code, e.export, e.next, e.text
        sys.exit(f"sale failed: {e} (next: {e.next})")
print(f"sold for {sale.price}: paid {sale.paid}, change {sale.change}")
sys.exit(0 if virtual.check_money().balanced and sale.sold else 1)
