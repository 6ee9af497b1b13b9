"""Views that wait run side by side; views that compute stay on few threads."""

import socket
import threading

import pytest

from conftest import kiv_threads as pool_threads, make_server


@pytest.fixture
def serve():
    started = []

    def start(rules):
        s = make_server()
        for path, view in rules.items():
            s.add_rule(path, ["GET"], view, path.strip("/") or "index", False)
        sid = s.start("127.0.0.1", 0)
        started.append((s, sid))
        host, port = s.bound_addr(sid).rsplit(":", 1)
        return host, int(port)

    yield start
    for s, sid in started:
        s.stop(sid, 5)


def send_all(addr, paths, timeout=30):
    """Opens a connection per request and sends them all before any answer."""
    conns = []
    try:
        for path in paths:
            c = socket.create_connection(addr, timeout=timeout)
            conns.append(c)
            c.sendall(f"GET {path} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    except BaseException:
        for c in conns:
            c.close()
        raise
    return conns


def answer(conn):
    with conn:
        data = b""
        while chunk := conn.recv(65536):
            data += chunk
    return data.partition(b"\r\n\r\n")[2]


def ask_at_once(addr, paths):
    conns = send_all(addr, paths)
    try:
        return [answer(c) for c in conns]
    finally:
        for c in conns:
            c.close()


@pytest.mark.parametrize("parties", [50, 300])
def test_waiting_views_run_side_by_side(serve, parties):
    # Every view waits until all of them are inside a view at once.
    barrier = threading.Barrier(parties)

    def meet():
        try:
            barrier.wait(20)
        except threading.BrokenBarrierError:
            return "broken"
        return "met"

    addr = serve({"/meet": meet})
    assert ask_at_once(addr, ["/meet"] * parties) == [b"met"] * parties


@pytest.mark.parametrize("quick", [1, 20])
def test_burst_whose_first_view_waits(serve, quick):
    gate = threading.Event()
    addr = serve({"/wait": lambda: "released" if gate.wait(20) else "timeout",
                  "/quick": lambda: "quick"})
    conns = send_all(addr, ["/wait"] + ["/quick"] * quick)
    try:
        # The quick views are answered while the first one still waits.
        assert [answer(c) for c in conns[1:]] == [b"quick"] * quick
        gate.set()
        assert answer(conns[0]) == b"released"
    finally:
        gate.set()
        for c in conns:
            c.close()


def compute():
    total = 0
    for i in range(20_000):
        total += i * i
    return str(total)


@pytest.mark.parametrize("work", [0, 20_000])
def test_computing_bursts_stay_on_few_threads(serve, work):
    # Idle threads left by earlier tests must not be woken for these either.
    ran_on = set()

    def view():
        ran_on.add(threading.get_ident())
        return str(sum(i * i for i in range(work)))

    addr = serve({"/c": view})
    for _ in range(5):
        assert set(ask_at_once(addr, ["/c"] * 200)) == {view().encode()}
    print(f"\n{work} iterations: views ran on {len(ran_on) - 1} threads, "
          f"{pool_threads()} threads named kiv-io")
    # A handful: right after the waiting tests 2-6 threads were seen; the fault this
    # guards against ran such a burst on over a hundred.
    assert len(ran_on) - 1 <= 10  # less the test's own call


def test_mixed_views_both_progress(serve):
    # Waiting views hold threads while computing views go on: neither starves.
    gate = threading.Event()
    addr = serve({"/wait": lambda: "released" if gate.wait(20) else "timeout",
                  "/compute": compute})
    conns = send_all(addr, ["/wait", "/compute"] * 30)
    try:
        assert [answer(c) for c in conns[1::2]] == [compute().encode()] * 30
        gate.set()
        assert [answer(c) for c in conns[::2]] == [b"released"] * 30
    finally:
        gate.set()
        for c in conns:
            c.close()
