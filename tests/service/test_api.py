#!/usr/bin/env python3
"""The REST API and the events of tavod against a virtual unit in its own
process. Every response is checked against service/openapi.yaml (the
harness does it on each request); the money is checked on the unit."""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import ServiceTest, wait_for  # noqa: E402


def events_until(ws, predicate, timeout=10):
    """Reads events until one satisfies the predicate; returns them all."""
    seen = []
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        e = json.loads(ws.recv())
        seen.append(e)
        if predicate(e):
            return seen
    raise AssertionError(f"no such event among {seen}")


class Sales(ServiceTest):
    def sell(self, price, money):
        before = self.unit.money()
        st, res, sale = self.svc.post("/v1/sales", {"price": price})
        self.assertEqual(st, 201, sale)
        self.assertEqual(res.getheader("Location"), f"/v1/sales/{sale['id']}")
        self.svc.wait_sale(sale["id"], {"accepting"})
        for m in money:
            if m == "note":
                # The escrow holds one note: the next goes in once the
                # service has had the last one taken in.
                wait_for(lambda: self.unit.insert_note() == 0,
                         what="the escrow to take a note")
            else:
                self.assertEqual(self.unit.insert_coin(m), 0)
        return before, sale["id"]

    def test_sales_with_and_without_change(self):
        # price, money inserted, change expected
        for price, money, change in [
            (1200, [500, 500, 500], 300),
            (1500, ["note", "note"], 500),
            (660, [500, 100, 50, 10], 0),
            (100, [500], 400),
        ]:
            with self.subTest(price=price, money=money):
                before, sid = self.sell(price, money)
                sale = self.svc.wait_sale(sid, {"done", "failed"})
                self.assertEqual(sale["state"], "done", sale)
                self.assertEqual((sale["charged"], sale["paid"],
                                  sale["credit"], sale["inserted"]),
                                 (price, change, 0, price + change))
                self.assertGreater(sale["frames"], 0)
                self.assertBalanced(before, price)

    def test_cancel_pays_back_what_was_inserted(self):
        before, sid = self.sell(2000, [100, "note"])
        wait_for(lambda: self.svc.sale(sid)["credit"] == 1100,
                 what="the credit")
        st, _, sale = self.svc.post(f"/v1/sales/{sid}/cancel")
        self.assertEqual(st, 202, sale)
        sale = self.svc.wait_sale(sid, {"cancelled", "failed"})
        self.assertEqual((sale["state"], sale["paid"], sale["charged"]),
                         ("cancelled", 1100, 0))
        self.assertBalanced(before, 0)
        # Once finished, neither a second cancel nor a new one is taken.
        st, _, problem = self.svc.post(f"/v1/sales/{sid}/cancel")
        self.assertEqual((st, problem["type"]), (409, "/problems/sale-finished"))
        st, _, problem = self.svc.post("/v1/sales/999/cancel")
        self.assertEqual(st, 404)

    def test_one_sale_at_a_time(self):
        st, _, first = self.svc.post("/v1/sales", {"price": 500})
        self.assertEqual(st, 201)
        st, _, problem = self.svc.post("/v1/sales", {"price": 800})
        self.assertEqual(st, 409)
        self.assertEqual(problem["type"], "/problems/sale-in-progress")
        self.assertIn(f"sale {first['id']}", problem["detail"])
        # Nor a payout or a reset while it runs.
        op = self.svc.operator
        self.assertEqual(self.svc.post("/v1/payouts", {"amount": 100},
                                       token=op)[0], 409)
        self.assertEqual(self.svc.post("/v1/unit/reset", token=op)[0], 409)
        self.svc.post(f"/v1/sales/{first['id']}/cancel")
        self.svc.wait_sale(first["id"], {"cancelled"})
        st, _, listing = self.svc.get("/v1/sales")
        self.assertEqual([s["id"] for s in listing["sales"]], [first["id"]])

    def test_a_charged_sale_cannot_be_cancelled(self):
        # The change payout of the virtual unit is held while its coin unit
        # is jammed, which keeps the sale past its charge.
        before, sid = self.sell(100, [])
        self.assertEqual(self.unit.insert_coin(500), 0)
        self.unit.jam(0, True)
        try:
            wait_for(lambda: self.svc.sale(sid)["charged"] == 100,
                     what="the charge")
            st, _, problem = self.svc.post(f"/v1/sales/{sid}/cancel")
            self.assertEqual((st, problem["type"]),
                             (409, "/problems/sale-charged"))
        finally:
            self.unit.jam(0, False)
        sale = self.svc.wait_sale(sid, {"done", "failed"})
        self.assertEqual((sale["state"], sale["paid"]), ("done", 400))
        self.assertBalanced(before, 100)

    def test_unit_status_names_flags_and_stock(self):
        st, _, unit = self.svc.get("/v1/unit")
        self.assertEqual(st, 200)
        self.assertTrue(unit["connected"] and unit["virtual"])
        self.assertTrue(unit["serial"] and unit["board"]["text"])
        self.assertIn("stopped", unit["coin_unit"]["flags"])
        stock = self.unit.money()["stock"]
        self.assertEqual([unit["stock"][d] for d in
                          ("10", "50", "100", "500", "1000")], list(stock))


class Events(ServiceTest):
    def test_a_sale_in_events_and_a_client_that_comes_back(self):
        ws = self.svc.ws()
        hello = json.loads(ws.recv())
        self.assertEqual(hello["type"], "hello")
        st, _, sale = self.svc.post("/v1/sales", {"price": 600})
        sid = sale["id"]
        self.svc.wait_sale(sid, {"accepting"})
        self.unit.insert_coin(500)
        self.unit.insert_coin(500)
        seen = events_until(ws, lambda e: e.get("type") == "sale" and
                            e["data"]["state"] == "done")
        ws.close()
        seqs = [e["seq"] for e in seen]
        self.assertEqual(seqs, list(range(seqs[0], seqs[0] + len(seqs))))
        states = [e["data"]["state"] for e in seen if e["type"] == "sale"]
        self.assertEqual(states, ["opening", "accepting", "charging",
                                  "paying_change", "ending", "done"])
        coins = [e["data"]["value"] * e["data"]["count"] for e in seen
                 if e["type"] == "coin_inserted"]
        self.assertEqual(sum(coins), 1000)
        credits = [e["data"]["credit"] for e in seen if e["type"] == "credit"]
        self.assertEqual(credits[-1], 1000)
        self.assertTrue(any(e["type"] == "payout" for e in seen))
        # Coming back with the last sequence number seen halfway: the rest
        # again, in order, nothing lost and nothing twice.
        half = seen[len(seen) // 2]["seq"]
        ws = self.svc.ws(since=half)
        self.assertEqual(json.loads(ws.recv())["type"], "hello")
        again = [json.loads(ws.recv()) for _ in range(seen[-1]["seq"] - half)]
        ws.close()
        self.assertEqual(again, [e for e in seen if e["seq"] > half])

    def test_since_must_be_a_number(self):
        import websocket
        with self.assertRaises(websocket.WebSocketBadStatusException) as c:
            self.svc.ws(since="x")
        self.assertEqual(c.exception.status_code, 400)
        # A plain GET on the events is told to upgrade.
        self.assertEqual(self.svc.get("/v1/events")[0], 426)


class Faults(ServiceTest):
    extra = ("--fault-timeout-ms", "1500")

    def test_power_failure_mid_sale_pays_back(self):
        before = self.unit.money()
        _, _, sale = self.svc.post("/v1/sales", {"price": 1000})
        sid = sale["id"]
        self.svc.wait_sale(sid, {"accepting"})
        self.unit.insert_coin(500)
        self.unit.insert_coin(100)
        wait_for(lambda: self.svc.sale(sid)["credit"] == 600, what="credit")
        ws = self.svc.ws()
        ws.recv()
        self.assertEqual(self.unit.power_fail(), 0)
        sale = self.svc.wait_sale(sid, {"cancelled", "failed"})
        self.assertEqual((sale["state"], sale["paid"]), ("cancelled", 600))
        seen = events_until(ws, lambda e: e.get("type") == "sale" and
                            e["data"]["state"] == "cancelled")
        ws.close()
        self.assertTrue(any(e["type"] == "fault" for e in seen))
        self.assertTrue(any(e["type"] == "unit" and e["data"]["connected"]
                            for e in seen))
        self.assertBalanced(before, 0)

    def test_silent_unit_fails_the_sale_with_an_incident(self):
        _, _, sale = self.svc.post("/v1/sales", {"price": 1000})
        sid = sale["id"]
        self.svc.wait_sale(sid, {"accepting"})
        self.unit.insert_coin(100)
        wait_for(lambda: self.svc.sale(sid)["credit"] == 100, what="credit")
        self.unit.silence(True)
        try:
            sale = self.svc.wait_sale(sid, {"failed", "cancelled"},
                                      timeout=15)
            self.assertEqual(sale["state"], "failed")
            self.assertIsNotNone(sale["last_failure"])
            self.assertTrue(sale["last_failure"]["code_text"])
            _, _, unit = self.svc.get("/v1/unit")
            self.assertFalse(unit["connected"])
            _, _, inc = self.svc.get("/v1/incidents?open=true")
            self.assertEqual([(i["sale"], i["amount"]) for i in
                              inc["incidents"]], [(sid, 100)])
        finally:
            self.unit.silence(False)
        self.assertIsNone(self.svc.proc.poll())
        wait_for(lambda: self.svc.get("/v1/unit")[2]["connected"],
                 what="the unit back")
        iid = inc["incidents"][0]["id"]
        self.assertEqual(self.svc.post(f"/v1/incidents/{iid}/resolve")[0],
                         403)
        st, _, done = self.svc.post(f"/v1/incidents/{iid}/resolve",
                                    token=self.svc.operator)
        self.assertEqual((st, done["open"]), (200, False))
        self.assertEqual(self.svc.get("/v1/incidents?open=true")[2],
                         {"incidents": []})
        self.assertIn('tavo_faults_total{code="0x0637"}',
                      self.svc.get("/metrics")[2])

    def test_an_unacknowledged_payout_is_not_made_twice(self):
        # The coin unit pays the change but its acknowledgement is spoilt
        # (coin payout: CmdCoinCtrl 0x63, selector 0x01): paying again
        # would pay the change twice.
        before = self.unit.money()
        self.assertEqual(self.unit.add_fault(2, 0x63, 0x01, count=1), 0)
        try:
            _, _, sale = self.svc.post("/v1/sales", {"price": 100})
            self.svc.wait_sale(sale["id"], {"accepting"})
            self.unit.insert_coin(500)
            sale = self.svc.wait_sale(sale["id"], {"done", "failed"})
        finally:
            self.unit.clear_faults()
        self.assertEqual((sale["state"], sale["paid"]), ("done", 400), sale)
        # The wait for the unit to show the payout left no failure on a
        # sale that ended as it should.
        self.assertIsNone(sale["last_failure"], sale)
        self.assertBalanced(before, 100)

    def test_full_disk_mid_sale_pays_back(self):
        # The state folder on a small file system of its own, filled after
        # the first coin: the sale ends paid back from the journal's
        # reserve, health and metrics show the fault until there is room.
        import subprocess
        import tempfile
        mnt = tempfile.mkdtemp(dir=self.folder)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs",
                           mnt], capture_output=True).returncode != 0:
            self.skipTest("cannot mount a small file system here")
        self.svc.stop()  # the unit serves one service at a time
        svc = None
        try:
            svc = harness.Service(self.unit, os.path.join(mnt, "state"),
                                  self.extra)
            wait_for(lambda: svc.get("/v1/unit")[2]["ready"], what="ready")
            self.assertEqual(svc.get("/healthz", token=None)[0], 200)
            before = self.unit.money()
            _, _, sale = svc.post("/v1/sales", {"price": 1200})
            sid = sale["id"]
            svc.wait_sale(sid, {"accepting"})
            self.unit.insert_coin(500)
            wait_for(lambda: svc.sale(sid)["inserted"] == 500, what="coin")
            subprocess.run(["dd", "if=/dev/zero", f"of={mnt}/filler",
                            "bs=64k"], capture_output=True)
            self.unit.insert_coin(500)
            sale = svc.wait_sale(sid, {"done", "cancelled", "failed"})
            self.assertEqual((sale["state"], sale["charged"], sale["paid"]),
                             ("cancelled", 0, 1000), sale)
            self.assertBalanced(before, 0)
            st, _, health = svc.get("/healthz", token=None)
            self.assertEqual((st, health["faults"]), (503, ["journal"]))
            self.assertIn("tavod_journal_fault 1", svc.get("/metrics")[2])
            st, _, problem = svc.post("/v1/sales", {"price": 100})
            self.assertEqual((st, problem["type"]), (503, "/problems/journal"))
            # Room again: the reserve is made anew and sales may begin.
            os.unlink(os.path.join(mnt, "filler"))
            wait_for(lambda: svc.get("/healthz", token=None)[0] == 200,
                     what="the journal back")
            self.assertIn("tavod_journal_fault 0", svc.get("/metrics")[2])
            st, _, nxt = svc.post("/v1/sales", {"price": 100})
            self.assertEqual(st, 201, nxt)
            svc.post(f"/v1/sales/{nxt['id']}/cancel")
            svc.wait_sale(nxt["id"], {"cancelled"})
        finally:
            if svc:
                svc.stop()
            subprocess.run(["umount", mnt], capture_output=True)

    def test_jammed_coin_unit_shows_in_the_flags(self):
        self.unit.jam(0, True)
        try:
            wait_for(lambda: "0x80" in
                     self.svc.get("/v1/unit")[2]["coin_unit"]["flags"],
                     what="the jam", timeout=5)
        finally:
            self.unit.jam(0, False)


class Operator(ServiceTest):
    def test_payout_display_beep_reset(self):
        before = self.unit.money()
        op = self.svc.operator
        st, _, paid = self.svc.post("/v1/payouts", {"amount": 1560},
                                    token=op)
        self.assertEqual((st, paid["paid"]), (200, 1560), paid)
        after = self.unit.money()
        self.assertEqual(after["value_out"] - before["value_out"], 1560)
        self.assertEqual(self.svc.post("/v1/display", {"value": 1234})[0], 200)
        self.assertEqual(self.svc.post("/v1/beep")[0], 200)
        st, _, reset = self.svc.post("/v1/unit/reset", token=op)
        self.assertEqual((st, reset["connected"]), (200, True))

    def test_metrics_in_the_exposition_format(self):
        _, _, sale = self.svc.post("/v1/sales", {"price": 500})
        self.svc.wait_sale(sale["id"], {"accepting"})
        self.unit.insert_coin(500)
        self.svc.wait_sale(sale["id"], {"done"})
        st, res, text = self.svc.get("/metrics")
        self.assertEqual(st, 200)
        self.assertTrue(res.getheader("Content-Type").startswith("text/plain"))
        import re
        sample = re.compile(r'^[a-z_]+(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})?'
                            r' [0-9.e+-]+$')
        values = {}
        for line in text.splitlines():
            if line.startswith("#"):
                self.assertRegex(line, r"^# (HELP|TYPE) [a-z_]+ ")
                continue
            self.assertRegex(line, sample)
            name, value = line.rsplit(" ", 1)
            values[name] = float(value)
        self.assertEqual(values['tavo_sales_total{outcome="done"}'], 1)
        self.assertEqual(values["tavo_charged_yen_total"], 500)
        self.assertEqual(values["tavo_unit_up"], 1)
        self.assertIn('tavo_coin_stock{denomination="500"}', values)
        self.assertIn('tavo_note_stock{denomination="1000"}', values)
        charge = 'tavo_exchange_seconds_count{export="TAVO_Charge"}'
        self.assertEqual(values[charge], 1)

    def test_every_documented_operation_is_served(self):
        # The ones the other tests may not reach, called once each here;
        # then every operation of the document must have been answered.
        op = self.svc.operator
        self.svc.get("/", token=None)
        self.svc.get("/healthz", token=None)
        self.svc.get("/metrics")
        st, _, doc = self.svc.get("/v1/openapi.yaml")
        self.assertEqual((st, doc.splitlines()[0]), (200, "openapi: 3.1.0"))
        self.svc.get("/v1/unit")
        self.svc.get("/v1/sales")
        _, _, s = self.svc.post("/v1/sales", {"price": 100})
        self.svc.get(f"/v1/sales/{s['id']}")
        self.svc.get(f"/v1/sales/{s['id']}/steps")
        self.svc.post(f"/v1/sales/{s['id']}/cancel")
        self.svc.wait_sale(s["id"], {"cancelled"})
        self.svc.post("/v1/payouts", {"amount": 10}, token=op)
        self.svc.get("/v1/operations")
        self.svc.get("/v1/stock")
        _, _, r = self.svc.post("/v1/refills", {}, token=op)
        self.svc.get(f"/v1/refills/{r['id']}")
        self.svc.post(f"/v1/refills/{r['id']}/close", {}, token=op)
        self.svc.post("/v1/collections", {"keep": {}}, token=op)
        self.svc.post("/v1/display", {"value": 1})
        self.svc.post("/v1/beep")
        self.svc.post("/v1/unit/reset", token=op)
        self.svc.get("/v1/incidents")
        self.svc.post("/v1/incidents/1/resolve", token=op)
        self.svc.get("/v1/reports/day?date=2026-12-08")
        self.svc.get("/v1/events")
        self.svc.post("/v1/virtual/coins", {"value": 10})
        self.svc.post("/v1/virtual/notes", {"value": 1000})
        self.svc.post("/v1/virtual/faults", {"kind": "coin_jam", "on": False})
        self.svc.get("/v1/virtual/money")
        missing = harness.api().operations() - harness.api().seen
        self.assertEqual(missing, set())
        # HEAD wherever GET: the same status and header, no body.
        for path in ("/", "/healthz", "/v1/unit", "/v1/sales",
                     f"/v1/sales/{s['id']}", "/v1/incidents"):
            with self.subTest(head=path):
                st, res, text = self.svc.get(path)
                hst, hres, htext = self.svc.request("HEAD", path)
                self.assertEqual((hst, htext), (st, ""))
                self.assertEqual(hres.getheader("Content-Type"),
                                 res.getheader("Content-Type"))
                self.assertEqual(hres.getheader("Content-Length"),
                                 res.getheader("Content-Length"))
        # A wrong method is told which ones the resource takes.
        st, res, _ = self.svc.request("DELETE", "/v1/unit")
        self.assertEqual((st, res.getheader("Allow")), (405, "GET, HEAD"))

VALUES = (10, 50, 100, 500, 1000)


class Money(ServiceTest):
    """The operator's money: the stock with its marks, refills and
    collections, checked against the virtual unit's own stock."""

    def stock(self):
        st, _, stock = self.svc.get("/v1/stock")
        self.assertEqual(st, 200, stock)
        return stock

    def counts(self, stock):
        return tuple(d["count"] for d in stock["denominations"])

    def test_stock_levels_and_a_mark_crossed(self):
        # Catches: levels read against the wrong marks, counts that are not
        # the unit's, no event when a mark is crossed, a largest change the
        # unit cannot pay.
        count500 = self.unit.money()["stock"][3]
        # The 500s sit at their low mark: one paid out as change crosses it.
        self.svc.stop()
        self.svc = harness.Service(self.unit, self.state, (
            "--stock-marks", f"500:{count500}:{count500 + 40}"))
        wait_for(lambda: self.svc.get("/v1/unit")[2]["connected"])
        stock = self.stock()
        self.assertEqual(self.counts(stock), self.unit.money()["stock"])
        by_value = {d["value"]: d for d in stock["denominations"]}
        self.assertEqual((by_value[500]["low"], by_value[500]["full"],
                          by_value[500]["level"]),
                         (count500, count500 + 40, "ok"))
        self.assertEqual((by_value[10]["low"], by_value[10]["full"]), (20, 80))
        self.assertEqual(stock["total"], sum(
            v * c for v, c in zip(VALUES, self.counts(stock))))
        self.assertLessEqual(stock["largest_change"], stock["total"])
        ws = self.svc.ws()
        ws.recv()  # hello
        _, _, sale = self.svc.post("/v1/sales", {"price": 500})
        self.svc.wait_sale(sale["id"], {"accepting"})
        self.unit.insert_note(1000)  # a 500 coin back as change
        self.svc.wait_sale(sale["id"], {"done"})
        seen = events_until(ws, lambda e: e.get("type") == "stock"
                            and e["data"]["value"] == 500)
        ws.close()
        self.assertEqual(seen[-1]["data"], {"value": 500,
                                            "count": count500 - 1,
                                            "level": "low",
                                            "previous": "ok"})
        after = self.stock()
        self.assertEqual(self.counts(after), self.unit.money()["stock"])
        self.assertEqual(after["denominations"][3]["level"], "low")
        # The largest change is paid, all of it.
        big = after["largest_change"]
        if 10 <= big <= 30000:
            before = self.unit.money()
            st, _, paid = self.svc.post("/v1/payouts", {"amount": big},
                                        token=self.svc.operator)
            self.assertEqual((st, paid["paid"]), (200, big), paid)
            self.assertEqual(self.unit.money()["value_out"] -
                             before["value_out"], big)
        _, _, text = self.svc.get("/metrics")
        self.assertIn(f'tavod_stock_low_mark{{value="500"}} {count500}\n',
                      text)
        self.assertIn('tavod_stock_full_mark{value="10"} 80\n', text)
        self.assertIn("tavod_largest_change_yen ", text)

    def test_a_refill_is_counted_kept_and_no_sale(self):
        # Catches: money inserted in a refill paid back or left as credit,
        # a refill journaled as a sale or counted in the sales' charged
        # figure, counts that are not what was inserted, a sale allowed
        # into the refill's trade.
        op = self.svc.operator
        before, stock_before = self.unit.money(), self.stock()
        sales_before = self.svc.get("/v1/sales")[2]["sales"]
        ws = self.svc.ws()
        ws.recv()
        st, _, r = self.svc.post("/v1/refills", {}, token=op)
        self.assertEqual((st, r["state"], r["amount"]), (201, "counting", 0))
        for coin in (500, 100, 100, 50, 10, 10):
            self.assertEqual(self.unit.insert_coin(coin), 0)
        self.assertEqual(self.unit.insert_note(1000), 0)
        counted = {"10": 2, "50": 1, "100": 2, "500": 1, "1000": 1}
        live = wait_for(lambda: (lambda x: x if x["amount"] == 1770 else None)(
            self.svc.get(f"/v1/refills/{r['id']}")[2]), what="the counts")
        self.assertEqual(live["counted"], counted)
        events_until(ws, lambda e: e.get("type") == "refill"
                     and e["data"]["amount"] == 1770)
        st, _, refused = self.svc.post("/v1/sales", {"price": 100})
        self.assertEqual(st, 409, refused)
        st, _, _ = self.svc.post(f"/v1/refills/{r['id']}/close", {},
                                 token=op)
        self.assertEqual(st, 202)
        done = wait_for(lambda: (lambda x: x if x["state"] == "done" else None)(
            self.svc.get(f"/v1/refills/{r['id']}")[2]), what="the refill done")
        self.assertEqual((done["amount"], done["counted"]), (1770, counted))
        ws.close()
        after = self.unit.money()
        self.assertTrue(after["balanced"], after)
        self.assertEqual(after["value_in"] - before["value_in"], 1770)
        self.assertEqual(after["value_out"], before["value_out"])
        grown = [a - b for a, b in zip(after["stock"],
                                       self.counts(stock_before))]
        self.assertEqual(grown, [2, 1, 2, 1, 1])
        self.assertEqual(self.counts(self.stock()), after["stock"])
        self.assertEqual(self.svc.get("/v1/sales")[2]["sales"], sales_before)
        ops = self.svc.get("/v1/operations")[2]["operations"]
        self.assertEqual((ops[0]["kind"], ops[0]["state"], ops[0]["amount"]),
                         ("refill", "done", 1770))
        _, _, text = self.svc.get("/metrics")
        self.assertIn("tavo_charged_yen_total 0\n", text)
        self.assertTrue(self.svc.get("/v1/unit")[2]["ready"])
        self.assertEqual(self.svc.post(f"/v1/refills/{r['id']}/close", {},
                                       token=op)[0], 409)

    def test_collection_previewed_then_paid_as_previewed(self):
        # Catches: a preview that moves money, a payable amount the unit
        # cannot pay exactly, a split that is not what the unit pays, a
        # collection journaled as anything but one.
        op = self.svc.operator
        keep = {"10": 15, "50": 15, "100": 15, "500": 15, "1000": 8}
        before = self.unit.money()
        st, _, plan = self.svc.post("/v1/collections", {"keep": keep},
                                    token=op)
        self.assertEqual(st, 200, plan)
        self.assertEqual(self.unit.money(), before)
        stock = dict(zip(("10", "50", "100", "500", "1000"), before["stock"]))
        self.assertEqual(plan["stock"], stock)
        above = {k: max(0, stock[k] - keep[k]) for k in stock}
        self.assertEqual(plan["above"], above)
        self.assertEqual(plan["amount"],
                         sum(int(k) * n for k, n in above.items()))
        self.assertGreater(plan["payable"], 0)
        split = plan["split"]
        self.assertEqual(plan["payable"], 1000 * split["notes"] + sum(
            int(k) * n for k, n in split["coins"].items()))
        self.assertEqual(plan["short"], plan["amount"] - plan["payable"])
        st, _, paid = self.svc.post("/v1/collections",
                                    {"keep": keep, "confirm": True}, token=op)
        self.assertEqual((st, paid["kind"], paid["paid"]),
                         (202, "collection", plan["payable"]), paid)
        after = self.unit.money()
        self.assertTrue(after["balanced"], after)
        self.assertEqual(after["value_out"] - before["value_out"],
                         plan["payable"])
        taken = [split["coins"][k] for k in ("10", "50", "100", "500")]
        taken.append(split["notes"])
        self.assertEqual([b - a for a, b in zip(after["stock"],
                                                before["stock"])], taken)
        self.assertEqual(self.counts(self.stock()), after["stock"])
        ops = self.svc.get("/v1/operations")[2]["operations"]
        self.assertEqual((ops[0]["kind"], ops[0]["state"], ops[0]["paid"]),
                         ("collection", "done", plan["payable"]))
        st, _, bad = self.svc.post("/v1/collections", {"keep": {"20": 1}},
                                   token=op)
        self.assertEqual(st, 422, bad)


DENOMINATIONS = (10, 50, 100, 500, 1000)


class DayReport(ServiceTest):
    """A generated day of sales, its report against the virtual unit's own
    accounts, and the history of the same sales."""

    extra = ("--fault-timeout-ms", "1500")

    def setUp(self):
        # A stock well below the tubes' 99, so that every coin taken in is
        # in the stock (not the cash box), loaded before tavod starts.
        self.assertEqual(self.unit.set_stock([40, 40, 40, 40], 10), 0)
        super().setUp()

    def sell(self, price, money, end=("done",)):
        _, _, sale = self.svc.post("/v1/sales", {"price": price})
        self.svc.wait_sale(sale["id"], {"accepting"})
        for m in money:
            if m == "note":
                wait_for(lambda: self.unit.insert_note() == 0,
                         what="the escrow to take a note")
            else:
                self.assertEqual(self.unit.insert_coin(m), 0)
        if "cancelled" in end:
            wait_for(lambda: self.svc.sale(sale["id"])["inserted"] ==
                     sum(1000 if m == "note" else m for m in money),
                     what="the money counted")
            self.svc.post(f"/v1/sales/{sale['id']}/cancel")
        done = self.svc.wait_sale(sale["id"], set(end) | {"failed"},
                                  timeout=15)
        self.assertEqual(done["state"], end[0], done)
        return done["id"]

    def fail_a_sale(self):
        """A sale that fails with an incident (the unit falls silent with
        100 inserted), then resolved with a note: the attendant gets the
        100 the unit kept."""
        _, _, sale = self.svc.post("/v1/sales", {"price": 1000})
        self.svc.wait_sale(sale["id"], {"accepting"})
        self.unit.insert_coin(100)
        wait_for(lambda: self.svc.sale(sale["id"])["credit"] == 100,
                 what="credit")
        self.unit.silence(True)
        try:
            self.svc.wait_sale(sale["id"], {"failed"}, timeout=15)
        finally:
            self.unit.silence(False)
        wait_for(lambda: self.svc.get("/v1/unit")[2]["connected"],
                 what="the unit back")
        _, _, inc = self.svc.get("/v1/incidents?open=1")
        self.assertEqual([(i["sale"], i["amount"]) for i in
                          inc["incidents"]], [(sale["id"], 100)])
        iid = inc["incidents"][0]["id"]
        st, _, done = self.svc.post(f"/v1/incidents/{iid}/resolve",
                                    {"note": "100 handed to the customer"},
                                    token=self.svc.operator)
        self.assertEqual(st, 200, done)
        self.assertEqual(done["note"], "100 handed to the customer")
        wait_for(lambda: self.svc.get("/v1/unit")[2]["ready"], what="ready")
        _, _, inc = self.svc.get("/v1/incidents")
        self.assertEqual((inc["incidents"][0]["open"],
                          inc["incidents"][0]["note"]),
                         (False, "100 handed to the customer"))
        self.assertIsNotNone(inc["incidents"][0]["resolved_ms"])
        return sale["id"]

    def report(self, **kw):
        date = time.strftime("%Y-%m-%d")
        st, res, r = self.svc.get(f"/v1/reports/day?date={date}", **kw)
        self.assertEqual(st, 200, r)
        return r

    def test_the_day_is_the_local_day_of_the_service(self):
        # Fault caught: a day cut at UTC midnight instead of the kiosk's.
        import tempfile
        self.svc.stop()  # the unit serves one service at a time
        svc = harness.Service(self.unit, tempfile.mkdtemp(dir=self.folder),
                              self.extra, env={"TZ": "JST-9"})
        try:
            _, _, r = svc.get("/v1/reports/day?date=2026-12-08")
        finally:
            svc.stop()
        # 2026-12-08 00:00 in Japan is 2026-12-07 15:00 UTC.
        self.assertEqual((r["from_ms"], r["to_ms"] - r["from_ms"]),
                         (1796655600000, 86400000))

    def test_a_journal_of_an_older_build_is_brought_up_to_date(self):
        # Fault caught: a journal kept before incidents had a note and a
        # time resolved, which the service could no longer read or write.
        import sqlite3
        import tempfile
        self.svc.stop()
        state = tempfile.mkdtemp(dir=self.folder)
        db = sqlite3.connect(os.path.join(state, "journal.sqlite"))
        db.executescript("""
            CREATE TABLE incidents (
              id INTEGER PRIMARY KEY AUTOINCREMENT, sale_id INTEGER,
              created_ms INTEGER NOT NULL, amount INTEGER NOT NULL,
              code INTEGER NOT NULL, detail TEXT NOT NULL,
              open INTEGER NOT NULL DEFAULT 1);
            INSERT INTO incidents (sale_id, created_ms, amount, code, detail)
              VALUES (0, 1, 0, 0, 'kept by an older build');""")
        db.close()
        svc = harness.Service(self.unit, state, self.extra)
        try:
            _, _, inc = svc.get("/v1/incidents")
            self.assertEqual([(i["detail"], i["note"], i["resolved_ms"])
                              for i in inc["incidents"]],
                             [("kept by an older build", "", None)])
            st, _, done = svc.post("/v1/incidents/1/resolve",
                                   {"note": "seen"}, token=svc.operator)
            self.assertEqual((st, done["note"]), (200, "seen"))
            _, _, inc = svc.get("/v1/incidents")
            self.assertEqual(inc["incidents"][0]["note"], "seen")
        finally:
            svc.stop()

    def test_a_sale_in_a_state_this_build_does_not_know_is_settled(self):
        # Fault caught: a sale a newer build left unfinished (its state
        # unknown here) read as failed, so that whatever its trade holds is
        # never settled from the board.
        import sqlite3
        self.svc.stop()
        db = sqlite3.connect(os.path.join(self.state, "journal.sqlite"))
        db.execute("INSERT INTO sales (price, state, created_ms, updated_ms)"
                   " VALUES (500, 'weighing', 1, 1)")
        db.commit()
        sale = db.execute("SELECT max(id) FROM sales").fetchone()[0]
        db.close()
        svc = harness.Service(self.unit, self.state, self.extra)
        try:
            done = svc.wait_sale(sale, {"done", "cancelled", "failed"})
            self.assertEqual((done["state"], done["charged"]),
                             ("cancelled", 0), done)
            self.assertIn("restart", done["detail"])
        finally:
            svc.stop()

    def test_a_day_reconciles_with_the_unit_and_a_difference_is_flagged(self):
        # Faults caught: a tally taken after the trade's close (its counts
        # already cleared), a denomination counted in another's column, a
        # note in the escrow left out, the stock of the day's start not the
        # last one before it; the unit's own accounts are the measure.
        before = self.unit.money()
        done = [self.sell(1200, [500, 500, 500]),
                self.sell(1500, ["note", "note"]),
                self.sell(660, [500, 100, 50, 10])]
        cancelled = self.sell(2000, [100, "note"], ("cancelled",))
        failed = self.fail_a_sale()
        after = self.unit.money()
        r = self.report()
        self.assertEqual(r["sales"], {"done": 3, "cancelled": 1, "failed": 1,
                                      "unfinished": 0, "charged": 3360})
        self.assertEqual(sum(h["sales"] for h in r["per_hour"]), 3)
        self.assertEqual(sum(h["charged"] for h in r["per_hour"]), 3360)
        self.assertEqual(r["per_hour"][time.localtime().tm_hour]["sales"], 3)
        self.assertEqual((r["incidents"]["opened"], r["incidents"]["resolved"],
                          r["incidents"]["open_at_end"]), (1, 1, 0))
        # The 100 the failed sale left, paid to the attendant on resolving.
        self.assertEqual(r["operations"]["settle"],
                         {"count": 1, "in": 100, "out": 100})
        self.assertTrue(r["balanced"], r)
        self.assertEqual(r["differences"], [])
        for k, d in enumerate(r["denominations"]):
            with self.subTest(value=d["value"]):
                self.assertEqual(d["value"], DENOMINATIONS[k])
                self.assertEqual(d["start"], before["stock"][k])
                self.assertEqual(d["in"], after["inserted"][k] -
                                 before["inserted"][k])
                self.assertEqual(d["out"], after["paid"][k] -
                                 before["paid"][k])
                self.assertEqual(d["end"], after["stock"][k])
                self.assertEqual(d["end"], d["start"] + d["in"] - d["out"])
        # CSV: the same figures, one per row.
        st, res, csv = self.svc.get(
            f"/v1/reports/day?date={r['date']}",
            headers={"Accept": "text/csv"})
        # The generated day's report, kept with the build's artifacts.
        artifacts = os.path.join(harness.BUILD, "artifacts")
        os.makedirs(artifacts, exist_ok=True)
        with open(os.path.join(artifacts, "day-report.json"), "w") as f:
            json.dump(r, f, indent=1)
        with open(os.path.join(artifacts, "day-report.csv"), "w") as f:
            f.write(csv)
        self.assertTrue(res.getheader("Content-Type").startswith("text/csv"))
        rows = [line.split(",") for line in csv.splitlines()]
        self.assertEqual(rows[0], ["section", "key", "value"])
        self.assertIn(["sales", "charged", "3360"], rows)
        self.assertIn(["report", "balanced", "true"], rows)
        for d in r["denominations"]:
            self.assertIn(["denominations"] + [str(d[c]) for c in (
                "value", "start", "in", "out", "end", "expected",
                "difference")], rows)
        # Three coins of 100 taken from the tubes behind the service's
        # back: the next sale's close shows them missing.
        stock = list(self.unit.money()["stock"])
        self.assertEqual(self.unit.set_stock(
            [stock[0], stock[1], stock[2] - 3, stock[3]], stock[4]), 0)
        odd = self.sell(100, [100])
        r = self.report()
        self.assertFalse(r["balanced"])
        self.assertEqual(r["differences"], [
            {"value": 100, "difference": -3, "sales": [odd],
             "operations": [], "incidents": r["incidents"]["ids"]}])
        self.assertEqual(r["denominations"][2]["end"],
                         self.unit.money()["stock"][2])
        st, _, csv = self.svc.get(
            f"/v1/reports/day?date={r['date']}&format=csv")
        self.assertIn(f"differences,100,-3,{odd},,{r['incidents']['ids'][0]}",
                      csv.splitlines())
        # Another day has none of it; a date that is none is refused.
        st, _, other = self.svc.get("/v1/reports/day?date=2001-01-01")
        self.assertEqual((other["sales"]["done"], other["tallies"]), (0, 0))
        for bad in ("2026-02-30", "today", ""):
            self.assertEqual(
                self.svc.get(f"/v1/reports/day?date={bad}")[0], 400, bad)

        # The history of the same sales: filters, pages, steps.
        ids = lambda q: [s["id"] for s in self.svc.get(
            "/v1/sales" + q)[2]["sales"]]
        self.assertEqual(ids("?state=done"), [odd] + done[::-1])
        self.assertEqual(ids("?state=cancelled"), [cancelled])
        self.assertEqual(ids("?min=1000&max=1500"),
                         [failed, done[1], done[0]])
        day = r["date"]
        self.assertEqual(ids(f"?from={day}&to={day}&state=failed"), [failed])
        self.assertEqual(ids("?from=2099-01-01"), [])
        everything = ids("")
        pages, before_id = [], None
        while True:
            q = "?limit=2" + (f"&before={before_id}" if before_id else "")
            _, _, page = self.svc.get("/v1/sales" + q)
            pages.append([s["id"] for s in page["sales"]])
            before_id = page.get("next")
            if before_id is None:
                break
        self.assertEqual([i for p in pages for i in p], everything)
        self.assertEqual([len(p) for p in pages], [2, 2, 2])
        for bad in ("?state=paid", "?limit=0", "?from=12-01", "?min=x",
                    "?colour=red"):
            self.assertEqual(self.svc.get("/v1/sales" + bad)[0], 400, bad)
        _, _, steps = self.svc.get(f"/v1/sales/{done[0]}/steps")
        states = [s["state"] for s in steps]
        self.assertEqual(list(dict.fromkeys(states)),
                         ["opening", "accepting", "charging",
                          "paying_change", "ending", "done"])
        self.assertEqual([s["credit"] for s in steps
                          if s["state"] == "accepting"][-1], 1500)
        self.assertEqual((steps[-1]["charged"], steps[-1]["paid"]),
                         (1200, 300))
        self.assertEqual([s["at_ms"] for s in steps],
                         sorted(s["at_ms"] for s in steps))
        _, _, steps = self.svc.get(f"/v1/sales/{failed}/steps")
        self.assertEqual(steps[-1]["state"], "failed")
        self.assertNotEqual(steps[-1]["code"], 0)
        self.assertIn("cancelling", [s["state"] for s in self.svc.get(
            f"/v1/sales/{cancelled}/steps")[2]])
        self.assertEqual(self.svc.get("/v1/sales/999/steps")[0], 404)


DEPLOY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                      "service", "deploy")


class Deploy(ServiceTest):
    def test_alerts_use_metrics_the_service_exports(self):
        import re
        import yaml
        with open(os.path.join(DEPLOY, "tavod-alerts.yml")) as f:
            rules = yaml.safe_load(f)["groups"][0]["rules"]
        _, _, text = self.svc.get("/metrics")
        exported = set(re.findall(r"^# TYPE (\w+) ", text, re.M))
        for rule in rules:
            for name in re.findall(r"\btavo_\w+", rule["expr"]):
                with self.subTest(alert=rule["alert"], metric=name):
                    self.assertIn(name, exported)
        with open(os.path.join(DEPLOY, "prometheus.yml")) as f:
            scrape = yaml.safe_load(f)["scrape_configs"][0]
        self.assertEqual(scrape["authorization"]["type"], "Bearer")
        # The scrapers hold the read-only token, not one that can sell.
        self.assertIn("metrics-token",
                      scrape["authorization"]["credentials_file"])

    def test_systemd_unit_verifies(self):
        import re
        import shutil
        import subprocess
        import tempfile
        if not shutil.which("systemd-analyze"):
            self.skipTest("systemd-analyze is not installed")
        with open(os.path.join(DEPLOY, "tavod.service")) as f:
            unit = f.read()
        # The unit names the installed binary; verify it against this one.
        unit = unit.replace("/usr/bin/tavod", os.path.join(harness.BUILD,
                                                           "tavod"))
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "tavod.service")
            with open(path, "w") as f:
                f.write(unit)
            r = subprocess.run(["systemd-analyze", "verify", path],
                               capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stderr), (0, ""))
        # systemd waits for the sale to be finished on stop before it kills.
        stop_ms = int(re.search(r"--stop-timeout-ms (\d+)", unit).group(1))
        stop_sec = int(re.search(r"^TimeoutStopSec=(\d+)$", unit,
                                 re.M).group(1))
        self.assertGreater(stop_sec * 1000, stop_ms)
        self.assertRegex(unit, r"(?m)^LimitNOFILE=\d+$")


if __name__ == "__main__":
    harness.main()
