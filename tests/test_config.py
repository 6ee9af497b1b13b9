"""The Server configuration surface: arguments, messages, docstrings, borrows."""

import ctypes
import os

import pytest

import _kiv
from conftest import make_server


def test_module_basics():
    assert _kiv._version == "0.1.0"
    s = _kiv.Server()
    assert s.version == "0.1.0"
    assert s.rule_count() == 0
    assert s.running_servers == 0
    assert s.cpu_count == s.runtime_workers == len(os.sched_getaffinity(0))


def test_init_twice_returns_same_module():
    lib = ctypes.PyDLL(_kiv.__file__)
    lib.PyInit__kiv.restype = ctypes.py_object
    assert lib.PyInit__kiv() is _kiv


@pytest.mark.parametrize("args,kwargs", [((1,), {}), ((), {"x": 1})])
def test_server_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        _kiv.Server(*args, **kwargs)


@pytest.mark.parametrize(
    "rule,message",
    [
        ("", "URL rules must start with a leading slash"),
        ("users", "URL rules must start with a leading slash"),
        ("/<int:>", "converter in `/<int:>` needs a variable name"),
        ("/a/<>", "converter in `/a/<>` needs a variable name"),
        ("/<int(:n>", "malformed converter `int(`"),
        ("/<foo:>", "unknown converter `foo` (supported: string, int, float, path, uuid, any)"),
        ("/<int (x):n>",
         "unknown converter `int ` (supported: string, int, float, path, uuid, any)"),
        ("/<any():n>", "`any` converter requires arguments, e.g. <any(a, b):name>"),
        ("/<any:n>", "`any` converter requires arguments, e.g. <any(a, b):name>"),
        ("/<path:p>/x", "`path` converter must be the last segment"),
    ],
)
def test_add_rule_rejections(rule, message):
    s = _kiv.Server()
    s.add_rule("/ok", ["GET"], None, "ok", False)
    with pytest.raises(ValueError) as info:
        s.add_rule(rule, ["GET"], None, "e", False)
    assert str(info.value) == message
    assert s.rule_count() == 1


def test_duplicate_rules_count_twice():
    s = _kiv.Server()
    for _ in range(2):
        s.add_rule("/x", ["GET"], None, "x", False)
    assert s.rule_count() == 2


@pytest.mark.parametrize(
    "call,exc,message",
    [
        (lambda s: s.add_rule("/a", "GET", None, "a", False), TypeError,
         "argument 'methods': Can't extract `str` to `Vec`"),
        (lambda s: s.add_rule(b"/a", ["GET"], None, "a", False), TypeError, "argument 'rule': "),
        (lambda s: s.add_rule("/a", ["GET", 1], None, "a", False), TypeError,
         "argument 'methods': "),
        (lambda s: s.add_rule("/a", ["GET"], None, None, False), TypeError,
         "argument 'endpoint': "),
        (lambda s: s.add_rule("/a", ["GET"], None, "a", 1), TypeError,
         "argument 'auto_options': "),
        (lambda s: s.set_flags(1, False, False, 0, 0, False), TypeError, "argument 'fast': "),
        (lambda s: s.set_flags(True, False, False, 1.5, 0, False), TypeError,
         "argument 'max_body': "),
        (lambda s: s.set_flags(True, False, False, -1, 0, False), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: s.set_flags(True, False, False, 2**64, 0, False), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: s.set_flags(True, False, False, 0, 2**63, False), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: s.set_static(b"/s", "."), TypeError, "argument 'url_path': "),
        (lambda s: s.set_static("/s", b"."), TypeError, "argument 'folder': "),
        (lambda s: s.set_static("/s", 3), TypeError, "argument 'folder': "),
    ],
)
def test_argument_errors(call, exc, message):
    s = _kiv.Server()
    with pytest.raises(exc) as info:
        call(s)
    assert type(info.value) is exc
    assert str(info.value).startswith(message)
    assert s.rule_count() == 0


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def test_folder_fspath_rules(tmp_path):
    s = _kiv.Server()
    s.set_static("/a", FsPath(str(tmp_path)))
    with pytest.raises(TypeError, match="^argument 'folder': "):
        s.set_static("/a", FsPath(b"/tmp"))
    with pytest.raises(KeyError):  # not a TypeError: passes through unchanged
        s.set_static("/a", FsPath(KeyError("boom")))
    cause = ValueError("inner")
    err = TypeError("bad path")
    err.__cause__ = cause
    with pytest.raises(TypeError) as info:
        s.set_static("/a", FsPath(err))
    assert str(info.value) == "argument 'folder': bad path"
    assert info.value.__cause__ is cause


def test_numpy_style_bool_accepted():
    # A scalar that says it is NumPy's bool is read through __bool__.
    fake = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: True})()
    s = make_server()
    s.set_flags(fake, False, False, 10, 0, False)
    other = type("bool_", (), {"__module__": "mylib", "__bool__": lambda self: True})()
    with pytest.raises(TypeError, match="^argument 'fast': "):
        s.set_flags(other, False, False, 10, 0, False)


def test_set_flags_is_atomic():
    s = make_server()
    s.add_rule("/p", ["POST"], lambda: "ok", "p", False)
    s.set_flags(True, False, False, 4, 0, False)
    with pytest.raises(OverflowError):
        s.set_flags(True, True, True, 1000, -1 - 2**63, True)
    # max_body is still 4: a 5-byte body is refused
    assert s.test_request("POST", "/p", None, b"12345")[0] == 413
    assert s.test_request("POST", "/p", None, b"1234")[0] == 200


@pytest.mark.parametrize(
    "name,doc",
    [
        ("rule_count", "rule_count($self)\n--\n\n"),
        ("add_rule", "add_rule($self, rule, methods, view, endpoint, auto_options, "
                     "strict_slashes=True)\n--\n\n"),
        ("set_flags", "set_flags($self, fast, debug, log, max_body, cc_max_age, trap_http)\n--\n\n"),
        ("set_static", "set_static($self, url_path, folder)\n--\n\n"),
        ("set_dispatch", "set_dispatch($self, f)\n--\n\n"),
        ("set_uuid_class", "set_uuid_class($self, cls)\n--\n\n"),
    ],
)
def test_method_docstrings(name, doc):
    method = getattr(_kiv.Server, name)
    sig = doc.split("\n")[0][len(name):]
    assert method.__text_signature__ == sig
    # The interpreter strips the signature from __doc__; the rest is the description.
    assert method.__doc__ in ("", None)


@pytest.mark.parametrize(
    "name,doc",
    [
        ("cpu_count", "CPU 逻辑核数。"),
        ("runtime_workers", "运行时的 worker 线程数（= CPU 逻辑核数）。"),
        ("running_servers", "当前运行中的服务器数量（本进程）。"),
    ],
)
def test_property_docs_and_read_only(name, doc):
    assert getattr(_kiv.Server, name).__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(_kiv.Server(), name, 1)


def test_test_request_signature():
    assert _kiv.Server.test_request.__text_signature__ == "($self, method, path, headers=None, body=None)"


def test_borrow_flag_during_test_request():
    s = make_server()
    outcomes = {}

    def view():
        for label, call in [("shared", s.rule_count), ("exclusive", lambda: s.set_dispatch(None))]:
            try:
                call()
                outcomes[label] = "ok"
            except RuntimeError as e:
                outcomes[label] = str(e)
        return "done"

    s.add_rule("/", ["GET"], view, "v", False)
    assert s.test_request("GET", "/")[2] == b"done"
    assert outcomes == {"shared": "Already mutably borrowed", "exclusive": "Already borrowed"}
    assert s.rule_count() == 1  # the hold is released afterwards


def test_static_reregistration_replaces_and_moves(tmp_path):
    one, two = tmp_path / "one", tmp_path / "two"
    for d, text in ((one, "1"), (two, "2")):
        d.mkdir()
        (d / "f.txt").write_text(text)
    s = make_server()
    s.set_static("/a", str(one))
    s.set_static("/b", str(one))
    s.set_static("/a", str(two))
    assert s.test_request("GET", "/a/f.txt")[2] == b"2"
    assert s.test_request("GET", "/b/f.txt")[2] == b"1"


@pytest.mark.parametrize(
    "missing,message",
    [
        ("set_request_class", "request class not configured (call set_request_class)"),
        ("set_dispatch", "dispatch not configured (call set_dispatch)"),
        ("set_pipeline", "pipeline not configured (call set_pipeline)"),
        ("set_convert_slow", "converter not configured (call set_convert_slow)"),
        ("set_debug_page", "debug page not configured (call set_debug_page)"),
        ("set_http_exception", "HTTPException not configured (call set_http_exception)"),
        ("set_uuid_class", "uuid.UUID not configured (call set_uuid_class)"),
    ],
)
def test_missing_reference_named_first(missing, message):
    s = _kiv.Server()
    order = ["set_request_class", "set_dispatch", "set_pipeline", "set_convert_slow",
             "set_debug_page", "set_http_exception", "set_uuid_class"]
    for name in order:
        if name != missing:
            getattr(s, name)(None)
    with pytest.raises(RuntimeError) as info:
        s.test_request("GET", "/")
    assert str(info.value) == message


def test_none_counts_as_configured():
    s = _kiv.Server()
    for name in ["set_request_class", "set_dispatch", "set_pipeline", "set_convert_slow",
                 "set_debug_page", "set_http_exception", "set_uuid_class"]:
        getattr(s, name)(None)
    # Everything is "present"; the request class None is not callable, so the request
    # ends in the 500 page rather than a configuration error.
    status, _, _ = s.test_request("GET", "/")
    assert status == 500
