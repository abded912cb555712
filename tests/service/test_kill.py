#!/usr/bin/env python3
"""Kills tavod in every state of a sale and of an operator payout, on a
virtual unit in its own process, at named points and from outside a few
milliseconds apart inside the exchanges. After the restart the sale or
payout is finished, each customer's money is right on the unit (everything
inserted came back, less the price when, and only when, the price was
charged), the records add up (inserted = charged + paid), and another
whole sale runs for the next customer with the right change."""
import os
import sys
import tempfile
import threading
import time

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


# Operator payouts of 1000 (a note) cut at a named point: what the payout
# paid when the service died, as the unit shows it after the restart.
PAYOUT_CASES = [
    ("payout journaled, trade begun", "payout:after-trade-begin", 0),
    ("payout journaled, not sent", "payout:before", 0),
    ("payout sent, not measured", "payout:after", 1000),
]

# Refills cut at a named point (None: killed from outside while counting),
# 500 + 100 + a note inserted: after the restart all of it is kept in the
# stock as the refill, nothing paid back.
REFILL_CASES = [
    ("refill counting, killed from outside", None),
    ("refill closing, acceptance off", "refill:closing"),
    ("refill credit not yet charged", "refill:before-charge"),
    ("refill charged, trade not closed", "refill:after-charge"),
]

# Collections of what lies above a float cut at a named point.
COLLECTION_CASES = [
    ("collection journaled, trade begun", "collection:after-trade-begin"),
    ("collection journaled, not sent", "collection:before"),
    ("collection sent, not measured", "collection:after"),
]

FINISHED = {"done", "cancelled", "failed"}


class KillAtEveryState(ServiceTest):
    def setUp(self):
        # Each case starts its own services.
        self.state = None

    def tearDown(self):
        pass

    def start(self, state, crash=None):
        env = {"TAVOD_TEST_CRASH_AT": crash} if crash else {}
        svc = Service(self.unit, state, env=env)
        if not crash:
            wait_for(lambda: svc.get("/v1/unit")[2]["connected"],
                     what="the unit to open")
        return svc

    def assertCustomer(self, before, sale):
        """One customer's money on the unit since `before`: all inserted,
        and back all but the price when the sale was charged."""
        after = self.unit.money()
        put_in = after["value_in"] - before["value_in"]
        got_back = after["value_out"] - before["value_out"]
        self.assertEqual(sale["inserted"], put_in, sale)
        self.assertEqual(sale["inserted"],
                         sale["charged"] + sale["paid"], sale)
        self.assertEqual(got_back, sale["paid"], sale)
        self.assertEqual(sale["charged"],
                         sale["price"] if sale["state"] == "done" else 0)

    def next_customer(self, svc):
        """A whole sale after the restart: price 500, 500 + 100 inserted,
        100 back, on a unit that carries nothing of the case before."""
        wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                 what="the unit ready to sell")
        before = self.unit.money()
        st, _, sale = svc.post("/v1/sales", {"price": 500})
        self.assertEqual(st, 201, sale)
        svc.wait_sale(sale["id"], {"accepting"})
        self.insert([500, 100])
        final = svc.wait_sale(sale["id"], FINISHED)
        self.assertEqual((final["state"], final["credit"]), ("done", 0),
                         final)
        self.assertCustomer(before, final)
        _, _, inc = svc.get("/v1/incidents?open=true")
        self.assertEqual(inc["incidents"], [])

    def insert(self, money):
        # A unit acknowledges the switch-on of acceptance while it still
        # pays out (a payback a restart settled), and stays off until the
        # next poll switches it on again: a refused coin or note comes back
        # and the customer inserts it again, as long as the sale accepts.
        for m in money:
            wait_for(lambda: (self.unit.insert_note(1000) if m == "note" else
                              self.unit.insert_coin(m)) == 0, timeout=5,
                     what=f"the unit to take {m}")

    def run_case(self, name, money, cancel, crash, again, outcome):
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
                # Paid back before the service exited, not at the next
                # start.
                after = self.unit.money()
                self.assertEqual(after["value_out"] - before["value_out"],
                                 after["value_in"] - before["value_in"])
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
                if final["inserted"]:
                    self.assertCustomer(before, final)
                self.assertBalanced(before, PRICE if outcome == "done" else 0)
                # The unit is usable again: the next customer's sale.
                self.next_customer(svc)
                # The day's report reconciles the stock through the kill:
                # a trade is tallied once whichever run closed it.
                _, _, r = svc.get("/v1/reports/day?date=" +
                                  time.strftime("%Y-%m-%d"))
                self.assertTrue(r["balanced"], r["denominations"])
                self.assertEqual([d["end"] for d in r["denominations"]],
                                 list(self.unit.money()["stock"]))
            finally:
                svc.stop()

    def test_every_state(self):
        for case in CASES:
            with self.subTest(case[0]):
                self.run_case(*case)

    def finish_payout(self, state, before, paid_at_kill):
        """The restart after a payout was cut: it is journaled as finished
        with what the unit paid, nothing paid twice, then a whole sale."""
        svc = self.start(state)
        try:
            wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                     what="the payout's trade settled")
            ops = svc.get("/v1/operations")[2]["operations"]
            after = self.unit.money()
            paid = after["value_out"] - before["value_out"]
            self.assertEqual(after["value_in"], before["value_in"])
            if paid_at_kill is not None:
                self.assertEqual(paid, paid_at_kill)
            if not ops:  # killed before the request was journaled
                self.assertEqual(paid, 0)
                recovered = False
            else:
                self.assertEqual([o["kind"] for o in ops], ["payout"], ops)
                self.assertEqual(ops[0]["paid"], paid, ops)
                self.assertEqual(ops[0]["state"],
                                 "done" if paid == 1000 else "short", ops)
                recovered = "restart" in ops[0]["detail"]
            self.next_customer(svc)
            return recovered
        finally:
            svc.stop()

    def test_payout_cut_at_every_step(self):
        for name, crash, paid in PAYOUT_CASES:
            with self.subTest(name):
                state = tempfile.mkdtemp(dir=self.folder)
                before = self.unit.money()
                svc = self.start(state, crash)
                try:
                    wait_for(lambda: svc.get("/v1/unit")[2]["connected"],
                             what="the unit to open")
                    with self.assertRaises(OSError):
                        svc.post("/v1/payouts", {"amount": 1000},
                                 token=svc.operator)
                    self.assertEqual(svc.proc.wait(timeout=10), -9)
                finally:
                    svc.stop()
                self.assertTrue(self.finish_payout(state, before, paid))

    def test_refill_cut_at_every_step(self):
        # Catches: a refill's money paid back, lost or counted twice after a
        # restart; a refill left running that keeps sales off.
        for name, crash in REFILL_CASES:
            with self.subTest(name):
                state = tempfile.mkdtemp(dir=self.folder)
                before = self.unit.money()
                svc = self.start(state, crash)
                try:
                    wait_for(lambda: svc.get("/v1/unit")[2]["connected"],
                             what="the unit to open")
                    st, _, r = svc.post("/v1/refills", {},
                                        token=svc.operator)
                    self.assertEqual(st, 201, r)
                    self.insert([500, 100, "note"])
                    wait_for(lambda: svc.get(f"/v1/refills/{r['id']}")[2][
                        "amount"] == 1600, what="the refill counted")
                    if crash is None:
                        svc.kill()
                    else:
                        with self.assertRaises(OSError):
                            svc.post(f"/v1/refills/{r['id']}/close", {},
                                     token=svc.operator)
                        self.assertEqual(svc.proc.wait(timeout=10), -9)
                finally:
                    svc.stop()
                svc = self.start(state)
                try:
                    done = wait_for(lambda: (lambda x: x if x["state"] in (
                        "done", "failed") else None)(
                        svc.get(f"/v1/refills/{r['id']}")[2]),
                        what="the refill settled")
                    self.assertEqual((done["state"], done["amount"]),
                                     ("done", 1600), done)
                    self.assertIn("restart", done["detail"])
                    after = self.unit.money()
                    self.assertTrue(after["balanced"], after)
                    self.assertEqual(after["value_in"] - before["value_in"],
                                     1600)
                    self.assertEqual(after["value_out"], before["value_out"])
                    self.assertEqual(
                        [a - b for a, b in zip(after["stock"],
                                               before["stock"])],
                        [0, 0, 1, 1, 1])
                    self.next_customer(svc)
                finally:
                    svc.stop()

    def test_collection_cut_at_every_step(self):
        # Catches: a collection paid twice, or its payout lost from the
        # journal, after a restart.
        keep = {"10": 5, "50": 5, "100": 5, "500": 5, "1000": 9}
        for name, crash in COLLECTION_CASES:
            with self.subTest(name):
                state = tempfile.mkdtemp(dir=self.folder)
                before = self.unit.money()
                svc = self.start(state, crash)
                try:
                    wait_for(lambda: svc.get("/v1/unit")[2]["connected"],
                             what="the unit to open")
                    st, _, plan = svc.post("/v1/collections", {"keep": keep},
                                           token=svc.operator)
                    self.assertGreater(plan["payable"], 0, plan)
                    with self.assertRaises(OSError):
                        svc.post("/v1/collections",
                                 {"keep": keep, "confirm": True},
                                 token=svc.operator)
                    self.assertEqual(svc.proc.wait(timeout=10), -9)
                finally:
                    svc.stop()
                svc = self.start(state)
                try:
                    wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                             what="the collection's trade settled")
                    ops = svc.get("/v1/operations")[2]["operations"]
                    after = self.unit.money()
                    self.assertTrue(after["balanced"], after)
                    paid = after["value_out"] - before["value_out"]
                    self.assertEqual(after["value_in"], before["value_in"])
                    self.assertEqual(paid, plan["payable"]
                                     if crash.endswith(":after") else 0)
                    self.assertEqual([o["kind"] for o in ops], ["collection"])
                    self.assertEqual(ops[0]["paid"], paid, ops)
                    self.assertNotEqual(ops[0]["state"], "running", ops)
                    self.next_customer(svc)
                finally:
                    svc.stop()

    def test_reset_cut_after_the_board_restarted(self):
        state = tempfile.mkdtemp(dir=self.folder)
        svc = self.start(state, "reset:after")
        try:
            wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                     what="the unit ready")
            with self.assertRaises(OSError):
                svc.post("/v1/unit/reset", token=svc.operator)
            self.assertEqual(svc.proc.wait(timeout=10), -9)
        finally:
            svc.stop()
        svc = self.start(state)
        try:
            wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                     what="the unit ready")
            ops = svc.get("/v1/operations")[2]["operations"]
            self.assertEqual([(o["kind"], o["state"], o["paid"])
                              for o in ops], [("reset", "done", 0)], ops)
            self.assertIn("restart", ops[0]["detail"])
            self.next_customer(svc)
        finally:
            svc.stop()

    def test_payout_killed_from_outside(self):
        # SIGKILL a few milliseconds apart from the request on: before the
        # trade, inside the payout's exchanges, while the note runs out,
        # around the trade's end.
        recovered = 0
        for delay_ms in range(0, 40, 3):
            with self.subTest(delay_ms=delay_ms):
                state = tempfile.mkdtemp(dir=self.folder)
                before = self.unit.money()
                svc = self.start(state)
                try:
                    wait_for(lambda: svc.get("/v1/unit")[2]["ready"],
                             what="the unit ready")
                    t = threading.Thread(target=self.quietly, args=(
                        svc.post, "/v1/payouts", {"amount": 1000},
                        svc.operator))
                    t.start()
                    time.sleep(delay_ms / 1000)
                    svc.kill()
                    t.join()
                finally:
                    svc.stop()
                recovered += self.finish_payout(state, before, None)
        # Some of the kills fell inside the payout, not before or after it.
        self.assertGreater(recovered, 0)

    def test_sale_killed_from_outside(self):
        # The coin that reaches the price, then SIGKILL a few milliseconds
        # later: inside the charge, the change payout, the trade's end.
        for delay_ms in range(0, 60, 4):
            with self.subTest(delay_ms=delay_ms):
                state = tempfile.mkdtemp(dir=self.folder)
                before = self.unit.money()
                svc = self.start(state)
                try:
                    st, _, sale = svc.post("/v1/sales", {"price": PRICE})
                    svc.wait_sale(sale["id"], {"accepting"})
                    self.insert([500, 500])
                    wait_for(lambda: svc.sale(sale["id"])["inserted"] ==
                             1000, what="the credit")
                    self.insert([500])
                    time.sleep(delay_ms / 1000)
                    svc.kill()
                finally:
                    svc.stop()
                svc = self.start(state)
                try:
                    final = svc.wait_sale(sale["id"], FINISHED)
                    self.assertIn(final["state"], {"done", "cancelled"},
                                  final)
                    self.assertCustomer(before, final)
                    self.next_customer(svc)
                finally:
                    svc.stop()

    def test_sigterm_while_charging_finishes_the_sale(self):
        state = tempfile.mkdtemp(dir=self.folder)
        before = self.unit.money()
        svc = self.start(state)
        try:
            st, _, sale = svc.post("/v1/sales", {"price": PRICE})
            svc.wait_sale(sale["id"], {"accepting"})
            self.insert([500, 500, 500])
            svc.proc.terminate()
            self.assertEqual(svc.proc.wait(timeout=20), 0)
        finally:
            svc.stop()
        # Before any restart: the price taken and the change given, or
        # everything back.
        after = self.unit.money()
        taken = (after["value_in"] - before["value_in"]) - \
            (after["value_out"] - before["value_out"])
        self.assertIn(taken, {0, PRICE})
        svc = self.start(state)
        try:
            final = svc.sale(sale["id"])
            self.assertIn(final["state"], {"done", "cancelled"}, final)
            self.assertNotIn("restart", final["detail"])
            self.assertEqual(taken, final["charged"])
            self.assertCustomer(before, final)
        finally:
            svc.stop()

    @staticmethod
    def quietly(post, path, body, token):
        try:
            post(path, body, token=token)
        except OSError:
            pass  # the service died under the request


if __name__ == "__main__":
    harness.main()
