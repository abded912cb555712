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
        for name in ("token", "operator-token"):
            mode = stat.S_IMODE(os.stat(os.path.join(self.state, name))
                                .st_mode)
            self.assertEqual(mode, 0o600, name)
        self.assertNotEqual(self.svc.token, self.svc.operator)

    def test_missing_401_wrong_403_operator_only_routes(self):
        # path, method, body, token, expected status
        op, tok = self.svc.operator, self.svc.token
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

    def test_websocket_needs_the_token(self):
        import websocket
        for token, want in [("", 401), ("f" * 64, 403)]:
            with self.assertRaises(websocket.WebSocketBadStatusException) as c:
                self.svc.ws(token=token) if token else \
                    websocket.create_connection(
                        f"ws://127.0.0.1:{self.svc.port}/v1/events",
                        timeout=5)
            self.assertEqual(c.exception.status_code, want)


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
                      ("--tls-cert", cert, "--tls-key", key))
        try:
            self.assertTrue(svc.tls)
            st, _, unit = svc.get("/v1/unit")
            self.assertEqual(st, 200)
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
