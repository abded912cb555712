#!/usr/bin/env python3
"""Kills tavod in every state of a sale, on a virtual unit in its own
process, and checks after the restart that the sale was finished and that
the customer's money balances on the unit: everything inserted came back,
less the price when (and only when) the price was charged."""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import Service, ServiceTest, wait_for  # noqa: E402

PRICE = 1200

# name, money the customer inserts, whether the customer cancels, the point
# at which the service dies (None: killed from outside while accepting),
# further crash points for the runs that recover, the outcome.
CASES = [
    ("accepting, nothing inserted", [], False, None, [], "cancelled"),
    ("accepting, coins inserted", [500, 100], False, None, [], "cancelled"),
    ("accepting, a note held in escrow", ["note"], False, None, [],
     "cancelled"),
    ("accepting, stopped by SIGTERM", [100, 50], False, "sigterm", [],
     "cancelled"),
    ("trade begun, acceptance not on", [], False,
     "opening:after-trade-begin", [], "cancelled"),
    ("credit reached, not charged", [500, 500, 500], False,
     "charging:before", [], "cancelled"),
    ("charged, not journaled", [500, 500, 500], False, "charging:after", [],
     "done"),
    ("change journaled, payout not sent", [500, 500, 500], False,
     "paying_change:before", [], "done"),
    ("change payout sent, not journaled", [500, 500, 500], False,
     "paying_change:after", [], "done"),
    ("exact money, trade not closed", [500, 500, 100, 100], False,
     "ending:before", [], "done"),
    ("trade closed, not journaled", [500, 500, 500], False, "ending:after",
     [], "done"),
    ("cancel journaled, pay-back not sent", [100, "note"], True,
     "cancelling:before", [], "cancelled"),
    ("pay-back sent, not journaled", [100, 50], True, "cancelling:after", [],
     "cancelled"),
    ("killed again while recovering, before its payout", [500, 500, 500],
     False, "charging:after", ["recover:before-payout"], "done"),
    ("killed again while recovering, after its payout", [500, 100], True,
     "cancelling:before", ["recover:after-payout"], "cancelled"),
]


class KillAtEveryState(ServiceTest):
    def setUp(self):
        # Each case starts its own services.
        self.state = None

    def tearDown(self):
        pass

    def insert(self, money):
        for m in money:
            if m == "note":
                self.assertEqual(self.unit.insert_note(1000), 0)
            else:
                self.assertEqual(self.unit.insert_coin(m), 0)

    def run_case(self, name, money, cancel, crash, again, outcome):
        import tempfile
        state = tempfile.mkdtemp(dir=self.folder)
        before = self.unit.money()
        # None: killed from outside; "sigterm": stopped the polite way
        # (the unit is closed); any other: the point where it kills itself.
        sigterm = crash == "sigterm"
        if sigterm:
            crash = None
        env = {"TAVOD_TEST_CRASH_AT": crash} if crash else {}
        svc = Service(self.unit, state, env=env)
        try:
            wait_for(lambda: svc.get("/v1/unit")[2]["connected"],
                     what="the unit to open")
            sid = 1  # a new journal
            if crash == "opening:after-trade-begin":
                # The service dies inside the request that starts the sale.
                with self.assertRaises(OSError):
                    svc.post("/v1/sales", {"price": PRICE})
            else:
                status, _, sale = svc.post("/v1/sales", {"price": PRICE})
                self.assertEqual((status, sale["id"]), (201, sid), sale)
                svc.wait_sale(sid, {"accepting"})
                self.insert(money)
                if money:
                    wait_for(lambda: svc.sale(sid)["inserted"] > 0 or
                             svc.proc.poll() is not None,
                             what="the credit to show")
                if cancel:
                    svc.post(f"/v1/sales/{sid}/cancel")
            if crash:
                svc.proc.wait(timeout=10)  # it kills itself at the point
                self.assertEqual(svc.proc.returncode, -9, "not killed at "
                                 f"{crash}")
            elif sigterm:
                svc.proc.terminate()
                self.assertEqual(svc.proc.wait(timeout=10), 0)
            else:
                svc.kill()
        finally:
            svc.stop()
        # Further runs that die while recovering, then one that finishes.
        for point in again + [None]:
            env = {"TAVOD_TEST_CRASH_AT": point} if point else {}
            svc = Service(self.unit, state, env=env)
            try:
                if point:
                    svc.proc.wait(timeout=10)
                    self.assertEqual(svc.proc.returncode, -9,
                                     f"not killed at {point}")
                    continue
                final = svc.wait_sale(sid, {"done", "cancelled", "failed"})
                self.assertEqual(final["state"], outcome, final)
                self.assertEqual(final["credit"], 0, final)
                _, _, inc = svc.get("/v1/incidents?open=true")
                self.assertEqual(inc["incidents"], [])
                # The unit is usable again: a new sale can start.
                st, _, nxt = svc.post("/v1/sales", {"price": 100})
                self.assertEqual(st, 201, nxt)
                svc.post(f"/v1/sales/{nxt['id']}/cancel")
                svc.wait_sale(nxt["id"], {"cancelled"})
            finally:
                svc.stop()
        self.assertBalanced(before, PRICE if outcome == "done" else 0)

    def test_every_state(self):
        for case in CASES:
            with self.subTest(case[0]):
                self.run_case(*case)


if __name__ == "__main__":
    harness.main()
