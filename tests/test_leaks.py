"""Many in-process requests leave memory and the interpreter's objects flat."""

import gc
import os

from conftest import RawHTTPError, Fast, make_server


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_no_leak_over_100k_requests(tmp_path):
    (tmp_path / "f.css").write_text("x" * 100)
    s = make_server(debug=True)
    s.set_static("/s", str(tmp_path))
    s.add_rule("/t/<int:n>", ["GET"], lambda n: ("t", 201, [("X", str(n))]), "t", False)
    s.add_rule("/j", ["GET"], lambda: {"a": [1, 2.5, "é", None]}, "j", False)

    def boom():
        raise ValueError("x")

    def http():
        raise RawHTTPError(Fast(404, [], b"nf"))

    s.add_rule("/e", ["GET"], boom, "e", False)
    s.add_rule("/h", ["GET"], http, "h", False)
    paths = ["/t/5", "/j", "/e", "/h", "/s/f.css", "/s/none", "/nope", "/t/5/"]

    def batch(n):
        for i in range(n):
            s.test_request("GET", paths[i % len(paths)], [("A", "b")], b"body")

    batch(5000)
    gc.collect()
    objects, rss = len(gc.get_objects()), rss_kib()
    batch(100_000)
    gc.collect()
    assert len(gc.get_objects()) - objects < 200
    assert rss_kib() - rss < 8 * 1024
