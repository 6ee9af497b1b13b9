import os
import shutil
import signal
import uuid

import pytest

import _kiv

# A run started in the background inherits an ignored SIGINT and would pass it
# on to every child process; the Ctrl-C tests need it delivered. A handler of
# our own is reset to the default in children, so they get Python's.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


class RawRequest:
    """Keeps the 11 arguments the server passes, for tests that inspect them."""

    def __init__(self, *args):
        self.args = args


class RawHTTPError(Exception):
    def __init__(self, response):
        super().__init__("http error")
        self.response = response

    def get_response(self):
        return self.response


class Fast:
    def __init__(self, status, headers, body):
        self.value = (status, headers, body)

    def _fast(self):
        return self.value


class _Discard:
    def append(self, item):
        pass


def make_server(seen=None, **flags):
    """A bare Server wired to minimal framework objects; calls are logged into `seen`."""
    server = _kiv.Server()
    if seen is None:
        seen = _Discard()

    def dispatch(req):
        seen.append(("dispatch", req.args))
        if req.args[9] is not None:
            return Fast(int(req.args[9]), [("X-Error", req.args[9])], repr(req.args[10]))
        return "dispatched"

    def pipeline(req, view, args):
        seen.append(("pipeline", req.args))
        return view(**args)

    server.set_request_class(RawRequest)
    server.set_dispatch(dispatch)
    server.set_pipeline(pipeline)
    server.set_convert_slow(lambda v: Fast(200, [], repr(v)))
    server.set_debug_page(lambda e: Fast(500, [("X-Debug", type(e).__name__)], str(e)))
    server.set_http_exception(RawHTTPError)
    server.set_uuid_class(uuid.UUID)
    opts = dict(fast=True, debug=False, log=False, max_body=1 << 20, cc_max_age=43200,
                trap_http=False)
    opts.update(flags)
    server.set_flags(opts["fast"], opts["debug"], opts["log"], opts["max_body"],
                     opts["cc_max_age"], opts["trap_http"])
    return server


@pytest.fixture
def raw_server():
    return make_server()


def kiv_threads():
    """Threads of this process named kiv-io (I/O and pool threads)."""
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass  # the thread ended meanwhile
    return names.count("kiv-io")



def pytest_make_parametrize_id(config, val, argname):
    # An id spelled from every byte of a large value costs megabytes, and minutes under
    # a sanitizer: long values are named by their length.
    if isinstance(val, (bytes, bytearray, str)) and len(val) > 64:
        return f"{argname}-len{len(val)}"


def headless_chromium(prefs=None):
    """A headless Chromium driven by selenium; skips when the browser or its driver is
    missing or cannot start here (scripts/setup.sh installs both)."""
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.common.exceptions import WebDriverException
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(driver_path):
        pytest.skip("chromium-driver is not installed (scripts/setup.sh installs it)")
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"):
        options.add_argument(arg)
    if prefs:
        options.add_experimental_option("prefs", prefs)
    try:
        return webdriver.Chrome(options=options,
                                service=webdriver.ChromeService(executable_path=driver_path))
    except WebDriverException as exc:
        pytest.skip(f"chromium cannot start here: {exc.msg}")
