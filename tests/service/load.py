#!/usr/bin/env python3
"""A bounded load test of tavod on loopback: 50 clients read the unit's
status over keep-alive connections and hold a WebSocket each, while sales
run one after another on the virtual unit. Prints requests per second and
latency percentiles; fails if a request fails, a sale does not balance or a
client misses a sale's end.

usage: load.py --build BUILD [--seconds N] [--clients N]
"""
import argparse
import http.client
import json
import os
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import Service, VirtualUnit, wait_for  # noqa: E402


FINISHED = ("done", "cancelled", "failed")
# Sales in turn, price and coins: the change of the first is paid in
# 100-coins that the second brings back, so the stock lasts.
SALES = [(1200, (500, 500, 500)), (300, (100, 100, 100, 100, 100, 100))]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--build", required=True)
    p.add_argument("--seconds", type=float, default=5)
    p.add_argument("--clients", type=int, default=50)
    args = p.parse_args()
    harness.BUILD = os.path.abspath(args.build)
    folder = tempfile.mkdtemp(prefix="tavod-load-")
    unit = VirtualUnit(folder)
    svc = Service(unit, os.path.join(folder, "state"),
                  ("--max-websockets", str(args.clients + 8)))
    try:
        return run(svc, unit, args)
    finally:
        svc.stop()
        unit.close()
        shutil.rmtree(folder, ignore_errors=True)


def run(svc, unit, args):
    wait_for(lambda: svc.get("/v1/unit")[2]["connected"], what="the unit")
    stop = threading.Event()
    latencies = [[] for _ in range(args.clients)]
    failures = []
    done_seen = [set() for _ in range(args.clients)]
    sockets = [svc.ws() for _ in range(args.clients)]
    auth = {"Authorization": f"Bearer {svc.token}"}

    def reader(i):
        ws = sockets[i]
        ws.settimeout(0.5)
        while not stop.is_set():
            try:
                e = json.loads(ws.recv())
            except Exception:  # a time-out: look at the stop flag again
                continue
            if e.get("type") == "sale" and e["data"]["state"] in FINISHED:
                done_seen[i].add(e["data"]["id"])

    def client(i):
        conn = http.client.HTTPConnection("127.0.0.1", svc.port, timeout=10)
        mine = latencies[i]
        while not stop.is_set():
            t0 = time.perf_counter()
            try:
                conn.request("GET", "/v1/unit", headers=auth)
                r = conn.getresponse()
                body = r.read()
                if r.status != 200 or not body:
                    failures.append(f"client {i}: status {r.status}")
            except (OSError, http.client.HTTPException) as e:
                failures.append(f"client {i}: {e!r}")
                conn = http.client.HTTPConnection("127.0.0.1", svc.port,
                                                  timeout=10)
                continue
            mine.append(time.perf_counter() - t0)
        conn.close()

    threads = [threading.Thread(target=reader, args=(i,))
               for i in range(args.clients)]
    threads += [threading.Thread(target=client, args=(i,))
                for i in range(args.clients)]
    for t in threads:
        t.start()
    started = time.perf_counter()
    sales = []
    unbalanced = []
    while time.perf_counter() - started < args.seconds:
        price, coins = SALES[len(sales) % len(SALES)]
        before = unit.money()
        st, _, sale = svc.post("/v1/sales", {"price": price})
        if st != 201:
            failures.append(f"sale refused: {sale}")
            break
        svc.wait_sale(sale["id"], {"accepting"})
        for coin in coins:
            unit.insert_coin(coin)
        final = svc.wait_sale(sale["id"], set(FINISHED))
        after = unit.money()
        taken = (after["value_in"] - before["value_in"]) - \
            (after["value_out"] - before["value_out"])
        if final["state"] != "done" or taken != price or \
                not after["balanced"] or final["inserted"] != \
                final["charged"] + final["paid"]:
            unbalanced.append((final, taken))
        sales.append(final)
    elapsed = time.perf_counter() - started
    # Let the last events reach every client before stopping.
    ids = {s["id"] for s in sales}
    try:
        wait_for(lambda: all(ids <= seen for seen in done_seen), timeout=5,
                 what="every client to see every sale end")
    except AssertionError:
        pass
    stop.set()
    for t in threads:
        t.join()
    for ws in sockets:
        ws.close()

    all_lat = sorted(x for lat in latencies for x in lat)
    n = len(all_lat)
    pct = lambda q: all_lat[min(n - 1, int(q * n))] * 1000  # noqa: E731
    frames = [s["frames"] for s in sales]
    missed = sum(1 for seen in done_seen if not ids <= seen)
    print(f"load: {args.clients} clients, {elapsed:.1f} s: {n} status reads, "
          f"{n / elapsed:.0f} requests/s, latency p50 {pct(0.5):.2f} ms, "
          f"p99 {pct(0.99):.2f} ms, max {all_lat[-1] * 1000:.1f} ms")
    print(f"load: {len(sales)} sales, {len(sales) - len(unbalanced)} done "
          f"and balanced; frames per sale {min(frames)}-{max(frames)}; "
          f"{args.clients - missed}/{args.clients} WebSocket clients saw "
          f"every sale end; {len(failures)} failed requests")
    ok = not failures and not unbalanced and not missed and sales and n
    for f in failures[:5]:
        print("  failure:", f)
    for u in unbalanced[:5]:
        print("  unbalanced:", u)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
