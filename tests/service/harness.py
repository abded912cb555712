"""Runs tavod against a virtual unit in its own process (tavovu-server) for
the service's tests, and talks to both: HTTP and WebSocket to the service,
the remote-unit protocol to the unit (to play the customer, stage faults
and check the money, independently of the service)."""
import argparse
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None  # the build folder, from --build


def parse_build_arg():
    global BUILD
    p = argparse.ArgumentParser(add_help=False)
    p.add_argument("--build", required=True)
    args, rest = p.parse_known_args()
    BUILD = os.path.abspath(args.build)
    return [sys.argv[0]] + rest


def wait_for(predicate, timeout=10.0, step=0.02, what="condition"):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(step)


# ------------------------------------------------------------ virtual unit

OP_INSERT_COIN, OP_INSERT_NOTE, OP_GET_STATE, OP_CHECK_MONEY = 32, 33, 34, 35
OP_JAM, OP_POWER_FAIL, OP_ADD_FAULT, OP_CLEAR_FAULTS = 36, 38, 39, 40
OP_SET_COIN_STOCK, OP_SET_NOTE_STOCK = 41, 42


class VirtualUnit:
    """tavovu-server and a client of its socket (the layout of
    sim/remote/protocol.h)."""

    def __init__(self, folder):
        self.path = os.path.join(folder, "vu.sock")
        self.proc = subprocess.Popen(
            [os.path.join(BUILD, "tavovu-server"), "--socket", self.path],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.proc.stdout.readline()  # "virtual unit on PATH"
        wait_for(lambda: os.path.exists(self.path), what="tavovu-server")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(self.path)

    def call(self, op, a=0, b=0, c=0, data=b""):
        self.sock.sendall(struct.pack("<IQqqqI", op, 0, a, b, c, len(data))
                          + data)
        head = self._read(28)
        status, _, _, n = struct.unpack("<qQqI", head)
        return status, self._read(n)

    def _read(self, n):
        out = b""
        while len(out) < n:
            chunk = self.sock.recv(n - len(out))
            if not chunk:
                raise ConnectionError("tavovu-server went away")
            out += chunk
        return out

    def insert_coin(self, value):
        return self.call(OP_INSERT_COIN, 0, value)[0]

    def insert_note(self, value=1000):
        return self.call(OP_INSERT_NOTE, 0, value)[0]

    def money(self):
        """vu_money_report: six arrays of five longs, then unpaid,
        value_in, value_out."""
        status, data = self.call(OP_CHECK_MONEY)
        fields = struct.unpack("<33q", data)
        return {"balanced": status == 0, "unpaid": fields[30],
                "value_in": fields[31], "value_out": fields[32],
                "stock": fields[10:15], "inserted": fields[5:10],
                "paid": fields[25:30]}

    def set_stock(self, coins, notes):
        """The stock an attendant loads (10, 50, 100, 500; notes), behind
        the service's back."""
        status = self.call(OP_SET_COIN_STOCK,
                           data=struct.pack("<4i", *coins))[0]
        return status or self.call(OP_SET_NOTE_STOCK, 0, notes)[0]

    def jam(self, unit, on):
        return self.call(OP_JAM, 0, unit, 1 if on else 0)[0]

    def power_fail(self):
        return self.call(OP_POWER_FAIL)[0]

    def add_fault(self, kind, command=-1, sub=-1, value=-1, skip=0,
                  count=-1, status=0):
        # vu_fault: kind, command, sub, value, skip, count (ints), status
        fault = struct.pack("<6iB3x", kind, command, sub, value, skip, count,
                            status)
        return self.call(OP_ADD_FAULT, data=fault)[0]

    def clear_faults(self):
        return self.call(OP_CLEAR_FAULTS)[0]

    def silence(self, on):
        return self.add_fault(1) if on else self.clear_faults()

    def close(self):
        self.sock.close()
        self.proc.terminate()
        self.proc.wait(timeout=5)


# ------------------------------------------------------------ the API doc

class OpenApi:
    """The service's OpenAPI document: checks each response the tests get
    against what it documents for that path, method and status."""

    def __init__(self):
        import yaml
        here = os.path.dirname(os.path.abspath(__file__))
        path = os.path.join(here, "..", "..", "service", "openapi.yaml")
        with open(path) as f:
            self.doc = yaml.safe_load(f)
        self.routes = []
        for template, ops in self.doc["paths"].items():
            pattern = "^" + re.sub(r"\{[^}]+\}", "[^/]+", template) + "$"
            self.routes.append((re.compile(pattern), template, ops))
        self.seen = set()

    def operation(self, method, path):
        path = path.split("?")[0]
        for pattern, template, ops in self.routes:
            if pattern.match(path):
                return template, ops.get(method.lower())
        return None, None

    def check(self, method, path, status, content_type, body):
        import jsonschema
        head = method.upper() == "HEAD"
        if head:  # answered as GET, without the body
            method = "GET"
        template, op = self.operation(method, path)
        if template is None or op is None:
            if status in (404, 405):
                return  # the service's answer to what it does not serve
            raise AssertionError(f"{method} {path} is not documented")
        responses = op["responses"]
        key = str(status)
        if key not in responses:
            if status in (404, 415, 422, 500):
                resp = self.doc["components"]["responses"]["Problem"]
            else:
                raise AssertionError(
                    f"{method} {template} answered {status}, not documented")
        else:
            resp = responses[key]
        if "$ref" in resp:
            resp = self.doc["components"]["responses"][
                resp["$ref"].split("/")[-1]]
        self.seen.add((method.upper(), template))
        content = resp.get("content")
        if not content or head:
            return
        kind = content_type.split(";")[0].strip()
        if kind not in content:
            raise AssertionError(f"{method} {template} {status}: content "
                                 f"type {kind}, documented {list(content)}")
        schema = content[kind].get("schema")
        if schema is None:
            return
        resolver = jsonschema.RefResolver.from_schema(self.doc)
        jsonschema.Draft202012Validator(schema, resolver=resolver).validate(
            body)

    def operations(self):
        return {(m.upper(), t) for t, ops in self.doc["paths"].items()
                for m in ops if m in ("get", "post")}


API = None


def api():
    global API
    if API is None:
        API = OpenApi()
    return API


# ------------------------------------------------------------ the service

class Service:
    """One run of tavod on a free port, with its state folder."""

    def __init__(self, unit, state, extra=(), env=None, max_files=None):
        self.state = state
        cmd = [os.path.join(BUILD, "tavod"), "--virtual-server", unit.path,
               "--port", "0", "--state-dir", state, "--poll-ms", "20",
               *extra]
        e = dict(os.environ)
        e.update(env or {})
        def limit():  # the open-file limit of a small system service
            import resource
            resource.setrlimit(resource.RLIMIT_NOFILE, (max_files, max_files))
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True,
                                     env=e,
                                     preexec_fn=limit if max_files else None)
        line = self.proc.stdout.readline()
        m = re.search(r"https?://[^:]+:(\d+)/", line)
        if not m:
            err = self.proc.stderr.read() if self.proc.poll() is not None \
                else ""
            raise AssertionError(f"tavod did not start: {line!r} {err}")
        self.port = int(m.group(1))
        self.tls = line.split()[3].startswith("https")
        with open(os.path.join(state, "token")) as f:
            self.token = f.read().strip()
        with open(os.path.join(state, "operator-token")) as f:
            self.operator = f.read().strip()
        with open(os.path.join(state, "metrics-token")) as f:
            self.metrics = f.read().strip()

    def request(self, method, path, body=None, token="default",
                headers=None, raw=None):
        """Returns (status, headers, parsed body or text)."""
        if self.tls:
            ctx = ssl.create_default_context()
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            conn = http.client.HTTPSConnection("127.0.0.1", self.port,
                                               timeout=10, context=ctx)
        else:
            conn = http.client.HTTPConnection("127.0.0.1", self.port,
                                              timeout=10)
        h = dict(headers or {})
        if token == "default":
            token = self.token
        if token is not None:
            h["Authorization"] = f"Bearer {token}"
        data = raw
        if body is not None:
            data = json.dumps(body).encode()
            h.setdefault("Content-Type", "application/json")
        conn.request(method, path, body=data, headers=h)
        r = conn.getresponse()
        text = r.read().decode()
        conn.close()
        kind = r.getheader("Content-Type", "")
        parsed = json.loads(text) if "json" in kind and text else text
        # Every answer the tests see must be as the API document says.
        api().check(method, path, r.status, kind, parsed)
        # Every finished sale the tests see adds up.
        if isinstance(parsed, dict):
            for sale in parsed.get("sales", [parsed]):
                # (a sale has a price; a refill that is done is no sale)
                if isinstance(sale, dict) and "price" in sale and \
                        sale.get("state") in ("done", "cancelled"):
                    assert sale["inserted"] == sale["charged"] + \
                        sale["paid"], f"sale does not add up: {sale}"
        return r.status, r, parsed

    def get(self, path, **kw):
        return self.request("GET", path, **kw)

    def post(self, path, body=None, **kw):
        return self.request("POST", path, body=body, **kw)

    def sale(self, sale_id):
        return self.get(f"/v1/sales/{sale_id}")[2]

    def wait_sale(self, sale_id, states, timeout=10):
        return wait_for(
            lambda: (lambda s: s if s["state"] in states else None)(
                self.sale(sale_id)),
            timeout=timeout, what=f"sale {sale_id} to reach {states}")

    def ws(self, since=None, token="default", origin=None):
        import websocket  # Debian python3-websocket
        token = self.token if token == "default" else token
        url = f"ws://127.0.0.1:{self.port}/v1/events"
        if since is not None:
            url += f"?since={since}"
        extra = {"origin": origin} if origin else {}
        return websocket.create_connection(
            url, timeout=5, subprotocols=["tavod.v1", f"bearer.{token}"],
            **extra)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=5)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.kill()
        for s in (self.proc.stdout, self.proc.stderr):
            s.close()


class ServiceTest(unittest.TestCase):
    """A virtual unit per test class, a service (and state folder) per
    test."""

    extra = ()

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tavod-test-")
        cls.unit = VirtualUnit(cls.folder)

    @classmethod
    def tearDownClass(cls):
        cls.unit.close()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        self.state = tempfile.mkdtemp(dir=self.folder)
        self.svc = Service(self.unit, self.state, self.extra)
        wait_for(lambda: self.svc.get("/v1/unit")[2]["connected"],
                 what="the unit to open")

    def tearDown(self):
        self.svc.stop()

    def assertBalanced(self, before, price_taken):
        """The unit's money: what the customer put in, less the price, came
        back out."""
        after = self.unit.money()
        self.assertTrue(after["balanced"], after)
        put_in = after["value_in"] - before["value_in"]
        got_back = after["value_out"] - before["value_out"]
        self.assertEqual(put_in - got_back, price_taken,
                         f"in {put_in}, out {got_back}")


def main():
    argv = parse_build_arg()
    unittest.main(argv=argv, verbosity=2)
