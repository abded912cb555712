#!/usr/bin/env python3
"""Tokens, bad input, limits and TLS of tavod: every refusal is a 4xx with
a problem document, and nothing refused reaches the unit."""
import os
import re
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
import harness  # noqa: E402
from harness import Service, ServiceTest, wait_for  # noqa: E402

JSON = {"Content-Type": "application/json"}

# method, path, raw body, headers, operator token, status, problem type
BAD_INPUT = [
    ("POST", "/v1/sales", b'{"price": 12', JSON, False, 400, "malformed-json"),
    ("POST", "/v1/sales", b"[1200]", JSON, False, 400, "malformed-json"),
    ("POST", "/v1/sales", b'{"price": "1200"}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 1200.5}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": true}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": -100}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 0}', JSON, False, 422, "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 32770}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 18446744073709551615}', JSON, False,
     422, "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 1e30}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 1205}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/sales", b'{"price": 1200, "tip": 100}', JSON, False, 422,
     "unknown-field"),
    ("POST", "/v1/sales", b"{}", JSON, False, 422, "missing-field"),
    ("POST", "/v1/sales", b'{"price": 1200}', {"Content-Type": "text/plain"},
     False, 415, "unsupported-media-type"),
    ("POST", "/v1/sales", b'{"price": 1200}',
     {"Content-Type": "application/jsonx"}, False, 415,
     "unsupported-media-type"),
    ("POST", "/v1/sales", b'{"price": 1200}',
     {"Content-Type": "application/json-seq"}, False, 415,
     "unsupported-media-type"),
    # The same field twice: which one a proxy or a log read is anyone's
    # guess.
    ("POST", "/v1/sales", b'{"price": 100, "price": 1200}', JSON, False, 400,
     "malformed-json"),
    ("POST", "/v1/payouts", b'{"amount": 10, "amount": 30000}', JSON, True,
     400, "malformed-json"),
    ("GET", "/v1/unit?pad=" + "x" * 3000, None, {}, False, 414,
     "uri-too-long"),
    ("GET", "/v1/unit?pad=" + "x" * 9000, None, {}, False, 414,
     "uri-too-long"),
    ("GET", "/v1/unit", None, {"X-Pad": "x" * 9000}, False, 431,
     "header-too-large"),
    # DNS rebinding: a page of another site whose name now points here.
    ("GET", "/v1/unit", None, {"Host": "evil.example"}, False, 421,
     "misdirected"),
    ("GET", "/v1/unit", None, {"Host": "127.0.0.1.evil.example"}, False, 421,
     "misdirected"),
    ("GET", "/healthz", None, {"Host": "evil.example:8080"}, False, 421,
     "misdirected"),
    # A page of another site posting here with the browser's help.
    ("POST", "/v1/beep", None, {"Origin": "http://evil.example"}, False, 403,
     "cross-origin"),
    ("POST", "/v1/beep", None, {"Origin": "null"}, False, 403,
     "cross-origin"),
    ("POST", "/v1/beep", None, {"Origin": "http://127.0.0.1:1"}, False, 403,
     "cross-origin"),
    ("POST", "/v1/sales", b'{"price": 1200, "pad": "' + b"x" * 9000 + b'"}',
     JSON, False, 413, "too-large"),
    ("POST", "/v1/payouts", b'{"amount": -10}', JSON, True, 422,
     "invalid-field"),
    ("POST", "/v1/payouts", b'{"amount": 99999999}', JSON, True, 422,
     "invalid-field"),
    ("POST", "/v1/display", b'{"value": 10000}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/beep", b'{"pattern": [1]}', JSON, False, 422,
     "unknown-field"),
    ("POST", "/v1/virtual/coins", b'{"value": 20}', JSON, False, 422,
     "invalid-field"),
    ("POST", "/v1/virtual/faults", b'{"kind": "meteor"}', JSON, False, 422,
     "invalid-field"),
    ("DELETE", "/v1/unit", None, {}, False, 405, "method-not-allowed"),
    ("GET", "/v1/sales/abc", None, {}, False, 404, "not-found"),
    ("GET", "/v1/nothing", None, {}, False, 404, "not-found"),
]


class Tokens(ServiceTest):
    def test_token_files_are_private(self):
        for name in ("token", "operator-token", "metrics-token"):
            mode = stat.S_IMODE(os.stat(os.path.join(self.state, name))
                                .st_mode)
            self.assertEqual(mode, 0o600, name)
        self.assertNotEqual(self.svc.token, self.svc.operator)
        self.assertEqual(len({self.svc.token, self.svc.operator,
                              self.svc.metrics}), 3)

    def test_missing_401_wrong_403_operator_only_routes(self):
        # path, method, body, token, expected status
        op, tok, ro = self.svc.operator, self.svc.token, self.svc.metrics
        for path, method, body, token, want in [
            ("/healthz", "GET", None, None, 200),
            ("/v1/unit", "GET", None, None, 401),
            ("/v1/unit", "GET", None, "0" * 64, 403),
            ("/v1/unit", "GET", None, tok[:-1], 403),
            ("/metrics", "GET", None, None, 401),
            ("/v1/unit", "GET", None, tok, 200),
            ("/v1/unit", "GET", None, op, 200),
            ("/v1/payouts", "POST", {"amount": 100}, tok, 403),
            ("/v1/unit/reset", "POST", None, tok, 403),
            ("/v1/incidents/1/resolve", "POST", None, tok, 403),
            # The read-only token of the scrapers reads the figures only.
            ("/metrics", "GET", None, ro, 200),
            ("/healthz", "GET", None, ro, 200),
            ("/v1/unit", "GET", None, ro, 403),
            ("/v1/sales", "POST", {"price": 100}, ro, 403),
            ("/v1/payouts", "POST", {"amount": 100}, ro, 403),
            ("/v1/operations", "GET", None, ro, 403),
        ]:
            with self.subTest(path=path, token=token and token[:4]):
                st, res, body = self.svc.request(method, path, body=body,
                                                 token=token)
                self.assertEqual(st, want, body)
                if want == 401:
                    self.assertEqual(res.getheader("WWW-Authenticate"),
                                     'Bearer realm="tavod"')
        st, _, _ = self.svc.request("GET", "/v1/unit", token=None,
                                    headers={"Authorization": "Basic eDp5"})
        self.assertEqual(st, 401)
        # The scheme's name is case-insensitive.
        for scheme in ("bearer", "BEARER", "Bearer "):
            st, _, _ = self.svc.request(
                "GET", "/v1/unit", token=None,
                headers={"Authorization": f"{scheme} {tok}"})
            self.assertEqual(st, 200, scheme)

    def test_page_is_not_framed_nor_sniffed(self):
        for path in ("/", "/v1/unit", "/healthz"):
            st, res, _ = self.svc.get(path)
            self.assertEqual(st, 200)
            self.assertEqual(res.getheader("X-Content-Type-Options"),
                             "nosniff")
        csp = self.svc.get("/")[1].getheader("Content-Security-Policy")
        self.assertIn("frame-ancestors 'none'", csp)

    def test_only_the_pages_own_files_are_served_without_a_token(self):
        # Catches: a path that climbs out of the page's folder, or names a
        # file the page does not have a kind of (the tokens, the journal),
        # read and sent to anyone.
        import http.client
        def fetch(path):
            conn = http.client.HTTPConnection("127.0.0.1", self.svc.port,
                                              timeout=10)
            conn.request("GET", path)
            r = conn.getresponse()
            body = r.read().decode(errors="replace")
            conn.close()
            return r.status, r.getheader("Content-Type", ""), body
        for path, kind in (("/app.js", "text/javascript"),
                           ("/stock.js", "text/javascript"),
                           ("/style.css", "text/css")):
            st, got, _ = fetch(path)
            self.assertEqual((st, got.split(";")[0]), (200, kind), path)
        with open(os.path.join(self.state, "token")) as f:
            secret = f.read().strip()
        for path in ("/token", "/operator-token", "/../token",
                     "/%2e%2e/token", "/..%2ftoken", "/web/app.js",
                     "/APP.JS", "/app.js.bak", "/.app.js", "/a/app.js",
                     "/journal.db", "/app.sh", "/app..js",
                     "/../openapi.yaml", "/../routes.cpp", "/..%2froutes.cpp",
                     "/../web/app.js"):
            st, _, body = fetch(path)
            self.assertIn(st, (401, 404), path)
            for leaked in (secret, "openapi:", "#include", "use strict"):
                self.assertNotIn(leaked, body, path)

    def test_websocket_needs_the_token(self):
        import websocket
        for token, want in [("", 401), ("f" * 64, 403)]:
            with self.assertRaises(websocket.WebSocketBadStatusException) as c:
                self.svc.ws(token=token) if token else \
                    websocket.create_connection(
                        f"ws://127.0.0.1:{self.svc.port}/v1/events",
                        timeout=5)
            self.assertEqual(c.exception.status_code, want)
        # Another site's page may not read the events with the token it
        # found (cross-site WebSocket hijacking); the page's own may.
        with self.assertRaises(websocket.WebSocketBadStatusException) as c:
            self.svc.ws(origin="http://evil.example")
        self.assertEqual(c.exception.status_code, 403)
        self.svc.ws(origin=f"http://127.0.0.1:{self.svc.port}").close()
        self.svc.ws(origin=f"http://localhost:{self.svc.port}").close()


def export_calls(text, export):
    """How often /metrics says an export was called."""
    m = re.search(r'^tavo_exchange_seconds_count\{export="%s"\} (\d+)$'
                  % export, text, re.M)
    return int(m.group(1)) if m else 0


class BadInput(ServiceTest):
    def test_each_class_refused_before_the_unit(self):
        # The trade that the open settles is the last call before these.
        wait_for(lambda: self.svc.get("/v1/unit")[2]["ready"],
                 what="the unit's trade settled")
        exports = ("TAVO_TradeBegin", "TAVO_PayOut", "TAVO_7SegNum")
        text = self.svc.get("/metrics")[2]
        before = {e: export_calls(text, e) for e in exports}
        for method, path, raw, headers, operator, status, kind in BAD_INPUT:
            with self.subTest(method=method, path=path, body=raw and raw[:40]):
                token = self.svc.operator if operator else "default"
                st, _, problem = self.svc.request(method, path, raw=raw,
                                                  headers=headers,
                                                  token=token)
                self.assertEqual(st, status, problem)
                self.assertEqual(problem["type"], f"/problems/{kind}")
                self.assertTrue(problem["detail"])
        # None of it reached the unit: no trade, payout or display call.
        text = self.svc.get("/metrics")[2]
        self.assertEqual({e: export_calls(text, e) for e in exports}, before)
        self.assertEqual(self.svc.get("/v1/sales")[2], {"sales": []})


class Limits(ServiceTest):
    extra = ("--max-websockets", "2")

    def test_too_many_event_clients(self):
        import websocket
        first, second = self.svc.ws(), self.svc.ws()
        with self.assertRaises(websocket.WebSocketBadStatusException) as c:
            self.svc.ws()
        self.assertEqual(c.exception.status_code, 429)
        first.close()
        # A place is free again once a client has gone.
        third = wait_for(lambda: self._try_ws(), what="a free place")
        for ws in (second, third):
            ws.close()

    def test_websocket_places_kept_for_the_operator(self):
        import websocket
        svc = self.svc
        svc.stop()
        self.svc = Service(self.unit, self.state, ("--max-websockets", "16"))
        apps = [self.svc.ws() for _ in range(14)]
        with self.assertRaises(websocket.WebSocketBadStatusException) as c:
            self.svc.ws()
        self.assertEqual(c.exception.status_code, 429)
        operators = [self.svc.ws(token=self.svc.operator) for _ in range(2)]
        with self.assertRaises(websocket.WebSocketBadStatusException) as c:
            self.svc.ws(token=self.svc.operator)
        self.assertEqual(c.exception.status_code, 429)
        for ws in apps + operators:
            ws.close()

    def test_idle_connections_under_a_low_file_limit(self):
        # Connections that never send a request, more than the open-file
        # limit allows: the service neither spins on its accept nor runs
        # out of descriptors, and /healthz and the operator get through.
        import http.client
        import socket
        self.svc.stop()
        self.svc = Service(self.unit, self.state, max_files=64)
        wait_for(lambda: self.svc.get("/v1/unit")[2]["connected"],
                 what="the unit")
        idle = [socket.create_connection(("127.0.0.1", self.svc.port))
                for _ in range(80)]
        try:
            for token, path in ((None, "/healthz"),
                                (self.svc.operator, "/v1/unit"),
                                (self.svc.token, "/v1/unit")):
                st, _, _ = self.svc.get(path, token=token)
                self.assertEqual(st, 200, path)
            self.assertIsNone(self.svc.proc.poll())
        finally:
            for s in idle:
                s.close()

    def _try_ws(self):
        import websocket
        try:
            return self.svc.ws()
        except websocket.WebSocketBadStatusException:
            return None


class Listening(ServiceTest):
    def setUp(self):
        self.state = tempfile.mkdtemp(dir=self.folder)

    def tearDown(self):
        pass

    def run_tavod(self, *args):
        return subprocess.run(
            [os.path.join(harness.BUILD, "tavod"), "--virtual-server",
             self.unit.path, "--state-dir", self.state, "--port", "0", *args],
            capture_output=True, text=True, timeout=10)

    def test_an_existing_state_folder_keeps_its_mode(self):
        shared = os.path.join(self.state, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        fresh = os.path.join(self.state, "fresh")
        for folder, mode in ((shared, 0o1777), (fresh, 0o700)):
            svc = Service(self.unit, folder)
            try:
                self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), mode)
                self.assertEqual(
                    stat.S_IMODE(os.stat(os.path.join(folder, "token"))
                                 .st_mode), 0o600)
            finally:
                svc.stop()

    def test_refuses_a_public_address_without_tls(self):
        r = self.run_tavod("--listen", "0.0.0.0")
        self.assertEqual(r.returncode, 1)
        self.assertIn("without TLS", r.stderr)
        r = self.run_tavod("--tls-cert", "x.pem")
        self.assertEqual(r.returncode, 2)

    def test_serves_https_with_a_certificate(self):
        cert = os.path.join(self.state, "cert.pem")
        key = os.path.join(self.state, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "1",
                        "-subj", "/CN=127.0.0.1"], check=True,
                       capture_output=True)
        svc = Service(self.unit, self.state,
                      ("--tls-cert", cert, "--tls-key", key,
                       "--host-name", "kiosk-001.example.net"))
        try:
            self.assertTrue(svc.tls)
            st, _, unit = svc.get("/v1/unit")
            self.assertEqual(st, 200)
            # The name it was given is its own; no other is.
            for host, want in (("kiosk-001.example.net:8443", 200),
                               ("KIOSK-001.example.net", 200),
                               ("kiosk-002.example.net", 421)):
                st, _, _ = svc.get("/v1/unit", headers={"Host": host})
                self.assertEqual(st, want, host)
            # Plain HTTP on the TLS port gets no answer.
            import http.client
            conn = http.client.HTTPConnection("127.0.0.1", svc.port,
                                              timeout=5)
            with self.assertRaises((http.client.HTTPException, OSError)):
                conn.request("GET", "/healthz")
                conn.getresponse()
        finally:
            svc.stop()


if __name__ == "__main__":
    harness.main()
