"""Behind a real proxy: nginx in front of two kiv servers, each in its own network
namespace joined to nginx's by a veth pair, and the client in a third one. HTTP goes to
both servers; WebSockets (upgraded through nginx) go to server a, where the topics are."""

import base64
import collections
import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from test_wire import REFUSED

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTS = os.path.dirname(os.path.abspath(__file__))
WAIT = 20
TAG = f"{os.getpid() % 100000}"
NET = 100 + os.getpid() % 150  # second octet of this run's 10.N.x.0/24 networks
PORT = 8000

# Runs in the client's namespace: sends each raw request on its own connection to
# nginx and reports what came back (up to the close, or what arrived within the wait).
CLIENT = r"""
import base64, json, socket, sys
addr, timeout = sys.argv[1], float(sys.argv[2])
out = []
for raw in json.load(sys.stdin):
    s = socket.create_connection((addr, 8080), timeout=timeout)
    s.sendall(base64.b64decode(raw))
    data = b""
    try:
        while chunk := s.recv(65536):
            data += chunk
            s.settimeout(1)  # a kept-alive connection: what follows comes at once
    except OSError:
        pass
    s.close()
    out.append(base64.b64encode(data).decode())
print(json.dumps(out))
"""


def sh(*args, check=True):
    return subprocess.run(args, capture_output=True, text=True, check=check)


def can_make_namespaces():
    if shutil.which("ip") is None:
        return "iproute2 is not installed"
    probe = f"kivprobe{TAG}"
    r = sh("ip", "netns", "add", probe, check=False)
    if r.returncode != 0:
        return f"network namespaces cannot be made here: {r.stderr.strip()}"
    sh("ip", "netns", "del", probe, check=False)
    return None


def wait_listening(host, port, proc, what):
    deadline = time.monotonic() + WAIT
    while True:
        try:
            socket.create_connection((host, port), timeout=1).close()
            return
        except OSError:
            assert proc.poll() is None, f"{what} exited"
            assert time.monotonic() < deadline, f"{what} did not start listening"
            time.sleep(0.05)


class Site:
    """Namespaces a (kiv), b (kiv) and c (client), each joined to this one by veth."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.namespaces, self.links, self.procs = [], [], []
        self.ip = {}
        for i, name in enumerate("abc", start=1):
            ns, outer, inner = f"kiv{TAG}{name}", f"kv{TAG}{name}0", f"kv{TAG}{name}1"
            here, there = f"10.{NET}.{i}.1", f"10.{NET}.{i}.2"
            self.namespaces.append(ns)
            self.links.append(outer)
            for cmd in (f"netns add {ns}", f"link add {outer} type veth peer name {inner} netns {ns}",
                        f"addr add {here}/24 dev {outer}", f"link set {outer} up",
                        f"-n {ns} addr add {there}/24 dev {inner}", f"-n {ns} link set {inner} up",
                        f"-n {ns} link set lo up", f"-n {ns} route add default via {here}"):
                sh("ip", *cmd.split())
            self.ip[name] = (here, there)

    def start_kiv(self, name):
        here, there = self.ip[name]
        env = {**os.environ, "KIV_TEST_NAME": name, "KIV_TEST_DIR": str(self.tmp),
               "PYTHONPATH": os.pathsep.join(filter(None, [ROOT, os.environ.get("PYTHONPATH")]))}
        log = open(self.tmp / f"kiv-{name}.log", "w")
        proc = subprocess.Popen(
            ["ip", "netns", "exec", f"kiv{TAG}{name}", sys.executable, "-m", "kiv", "run",
             os.path.join(TESTS, "serving_app.py"), "--host", there, "--port", str(PORT),
             "--log", "--forwarded-allow-ips", here],
            stdout=subprocess.DEVNULL, stderr=log, env=env)
        log.close()
        self.procs.append(proc)
        wait_listening(there, PORT, proc, f"kiv in namespace {name}")

    def start_nginx(self):
        conf = self.tmp / "nginx.conf"
        temp = "".join(f"{k}_temp_path {self.tmp}/{k};\n"
                       for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        conf.write_text(textwrap.dedent(f"""\
            user root;
            worker_processes 1;
            error_log {self.tmp}/error.log;
            pid {self.tmp}/nginx.pid;
            events {{ worker_connections 256; }}
            http {{
              {temp}
              log_format kiv '$request_uri|$status|$upstream_addr';
              access_log {self.tmp}/access.log kiv;
              upstream kiv {{
                server {self.ip['a'][1]}:{PORT};
                server {self.ip['b'][1]}:{PORT};
                keepalive 8;
              }}
              server {{
                listen {self.ip['c'][0]}:8080;
                location /ws/ {{
                  proxy_pass http://{self.ip['a'][1]}:{PORT};
                  proxy_http_version 1.1;
                  proxy_set_header Upgrade $http_upgrade;
                  proxy_set_header Connection "upgrade";
                  proxy_set_header Host $host;
                }}
                location / {{
                  proxy_pass http://kiv;
                  proxy_http_version 1.1;
                  proxy_set_header Connection "";
                  proxy_set_header Host $host;
                  proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
                  proxy_set_header X-Forwarded-Proto $scheme;
                }}
              }}
            }}
            """))
        proc = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", str(self.tmp),
                                 "-c", str(conf), "-g", "daemon off;"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.procs.append(proc)
        wait_listening(self.ip["c"][0], 8080, proc, "nginx")

    def client(self, raws):
        """Sends raw requests from namespace c, one connection each; the raw answers."""
        r = subprocess.run(
            ["ip", "netns", "exec", f"kiv{TAG}c", sys.executable, "-c", CLIENT,
             self.ip["c"][0], "5"],
            input=json.dumps([base64.b64encode(r).decode() for r in raws]),
            capture_output=True, text=True, timeout=60 + 6 * len(raws))
        assert r.returncode == 0, r.stderr
        return [base64.b64decode(x) for x in json.loads(r.stdout)]

    def run_in_client(self, script, timeout=60):
        """Runs a Python script in namespace c with nginx's address as argv[1]; its JSON."""
        r = subprocess.run(["ip", "netns", "exec", f"kiv{TAG}c", sys.executable, "-c", script,
                            self.ip["c"][0]], capture_output=True, text=True, timeout=timeout)
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)

    def kiv_targets(self):
        out = []
        for name in "ab":
            for line in (self.tmp / f"kiv-{name}.log").read_text().splitlines():
                if '"' in line:
                    out.append(line.split('"')[1].split(" ", 1)[1])
        return out

    def nginx_forwarded(self):
        rows = [ln.split("|") for ln in (self.tmp / "access.log").read_text().splitlines()]
        return [uri for uri, status, upstream in rows if upstream != "-"]

    def close(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        for link in self.links:
            sh("ip", "link", "del", link, check=False)
        for ns in self.namespaces:
            sh("ip", "netns", "del", ns, check=False)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    reason = can_make_namespaces()
    if reason:
        pytest.skip(reason)
    s = Site(tmp_path_factory.mktemp("proxy"))
    try:
        s.start_kiv("a")
        s.start_kiv("b")
        s.start_nginx()
        yield s
    finally:
        s.close()


def body(raw):
    return json.loads(raw.split(b"\r\n\r\n", 1)[1])


def test_spread_keep_alive_and_client_address(site):
    answers = [body(a) for a in site.client(
        [b"GET /whoami HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"] * 6)]
    assert {a["server"] for a in answers} == {"a", "b"}
    client_ip = site.ip["c"][1]
    assert all(a["forwarded_for"] == client_ip for a in answers)
    from kiv import App
    if hasattr(App(), "forwarded_allow_ips"):  # the trusted header decides remote_addr
        assert all(a["remote_addr"] == client_ip for a in answers)
    # nginx keeps its upstream connections open between requests.
    for name in "ab":
        established = sh("ip", "netns", "exec", f"kiv{TAG}{name}", "ss", "-Htn", "state",
                         "established", f"( sport = :{PORT} )").stdout
        assert established.strip(), f"no kept-alive upstream connection to {name}"


SMUGGLED = b"GET /smuggled HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n"


INSIDE = b"GET /inside HTTP/1.1\r\nHost: t\r\n\r\n"  # request text inside a body


def chunked(*parts, line_end=b"\r\n"):
    return b"".join(b"%x;ext=1%s%s\r\n" % (len(p), line_end, p) for p in parts) + b"0" + line_end


# Framings nginx accepts and passes on in its own form.
ACCEPTED = [
    b"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: %d\r\n\r\n%s" % (len(INSIDE), INSIDE),
    b"POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length:   %d  \r\n\r\n%s" % (len(INSIDE), INSIDE),
    b"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
    + chunked(INSIDE[:10], INSIDE[10:]) + b"X-Trailer: 1\r\n\r\n",
    b"POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: CHUNKED\r\n\r\n"
    + chunked(INSIDE) + b"\r\n",
    b"POST /echo HTTP/1.1\nHost: t\nTransfer-Encoding: chunked\n\n"
    + chunked(INSIDE, line_end=b"\n") + b"\n",
    b"POST /echo HTTP/1.1\r\nHost: t\r\nExpect: 100-continue\r\nContent-Length: %d\r\n\r\n%s"
    % (len(INSIDE), INSIDE),
    b"GET /echo HTTP/1.0\r\nHost: t\r\nConnection: keep-alive\r\n\r\n",
    b"GET /echo HTTP/1.1\r\nHost: t\r\n\r\n",
]


def test_smuggling_attempts_never_split_requests_differently(site):
    raws = [raw + SMUGGLED for _, raw, _ in REFUSED] + [raw + SMUGGLED for raw in ACCEPTED]
    answers = site.client(raws)
    # The accepted framings were answered, body and all.
    for raw, answer in zip(ACCEPTED, answers[len(REFUSED):]):
        assert b" 200 OK\r\n" in answer.split(b"\r\n\r\n{", 1)[0], answer
        if INSIDE in raw:
            assert b'"length":%d' % len(INSIDE) in answer, answer
    # Afterwards every request still gets its own answer over the kept-alive
    # upstream connections: nothing was left behind in them.
    probes = [f"GET /echo?n={i} HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n".encode()
              for i in range(8)]
    assert [body(a)["query"] for a in site.client(probes)] == [f"n={i}" for i in range(8)]
    kiv = collections.Counter(site.kiv_targets())
    nginx = collections.Counter(site.nginx_forwarded())
    # kiv answered no request that nginx did not send as one, and saw each
    # smuggled request exactly when nginx forwarded it as a request of its own.
    assert not kiv - nginx
    assert kiv["/smuggled"] == nginx["/smuggled"] >= len(ACCEPTED)
    assert kiv["/inside"] == 0
    errors = (site.tmp / "error.log").read_text()
    assert "upstream sent" not in errors, errors


# Runs in the client's namespace: WebSockets through nginx, every wait bounded.
WS_CLIENT = r"""
import json, sys
from websockets.sync.client import connect
from websockets.exceptions import ConnectionClosed
base, out = f"ws://{sys.argv[1]}:8080/ws", {}
with connect(base + "/echo", open_timeout=10, close_timeout=10) as ws:
    ws.send("hello"); ws.send(b"\x00\xffbin"); ws.send("x" * 100000)
    out["echo"] = [ws.recv(timeout=10) for _ in range(3)]
    out["echo"] = [m if isinstance(m, str) else "bytes:" + m.hex() for m in out["echo"]]
    out["echo"][2] = len(out["echo"][2])
    ws.close(4000, "done here")
    out["client_close"] = [ws.close_code, ws.close_reason]
with connect(base + "/echo", open_timeout=10, close_timeout=10) as ws:
    ws.send("close-me")
    try:
        ws.recv(timeout=10)
    except ConnectionClosed as exc:
        out["server_close"] = [exc.rcvd.code, exc.rcvd.reason]
with connect(base + "/room/kitchen", open_timeout=10) as ann, \
        connect(base + "/room/kitchen", open_timeout=10) as bob, \
        connect(base + "/room/garden", open_timeout=10) as cat:
    out["joined"] = [c.recv(timeout=10) for c in (ann, bob, cat)]
    ann.send("tea")
    out["room"] = [ann.recv(timeout=10), bob.recv(timeout=10)]
    cat.send("meow")
    out["garden"] = cat.recv(timeout=10)
    bob.send("coming")
    out["after"] = [ann.recv(timeout=10), bob.recv(timeout=10)]  # nothing from the garden
print(json.dumps(out))
"""


def test_websockets_through_the_proxy(site):
    pytest.importorskip("websockets.sync.client")
    got = site.run_in_client(WS_CLIENT)
    assert got["echo"] == ["hello", "bytes:00ff62696e", 100000]
    assert got["client_close"] == [4000, "done here"]
    assert got["server_close"] == [4001, "asked to"]
    assert got["joined"] == ["joined"] * 3
    assert got["room"] == ["a: tea"] * 2
    assert got["garden"] == "a: meow"
    assert got["after"] == ["a: coming"] * 2
