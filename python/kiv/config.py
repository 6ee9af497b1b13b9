"""app.config: a dict of settings with Flask's loaders."""

from __future__ import annotations

import datetime as _dt
import importlib
import json
import os
from typing import Any, Mapping

DEFAULTS: dict[str, Any] = {
    "DEBUG": False,
    "TESTING": False,
    "SECRET_KEY": None,
    "SECRET_KEY_FALLBACKS": None,
    "MAX_CONTENT_LENGTH": None,
    "PERMANENT_SESSION_LIFETIME": _dt.timedelta(days=31),
    "SESSION_COOKIE_NAME": "session",
    "SESSION_COOKIE_DOMAIN": None,
    "SESSION_COOKIE_PATH": None,
    "SESSION_COOKIE_HTTPONLY": True,
    "SESSION_COOKIE_SECURE": False,
    "SESSION_COOKIE_SAMESITE": None,
    "SESSION_COOKIE_PARTITIONED": False,
    "SESSION_REFRESH_EACH_REQUEST": True,
    "MAX_COOKIE_SIZE": 4093,
    "PROPAGATE_EXCEPTIONS": None,
    "TRUSTED_HOSTS": None,
    "TRAP_HTTP_EXCEPTIONS": False,
    "SERVER_NAME": None,
    "APPLICATION_ROOT": "/",
    "PREFERRED_URL_SCHEME": "http",
    "TEMPLATES_AUTO_RELOAD": None,
    "MAX_FORM_MEMORY_SIZE": 500_000,
    "MAX_FORM_PARTS": 1000,
    # A request body may keep the server waiting this many seconds for its bytes (None:
    # no limit), plus a second per BODY_MIN_RATE bytes received; past it the client gets
    # 408 and the connection closes. Time a view spends between reads does not count.
    "BODY_TIMEOUT": 60,
    "BODY_MIN_RATE": 1024,
    "SEND_FILE_MAX_AGE_DEFAULT": None,
    # "redis://host:port/0": app.publish() reaches every process that uses this Redis;
    # unset, it reaches the WebSockets of the server's own worker processes.
    "PUBSUB_URL": None,
    # WebSocket connections, unless their route says otherwise: a longer message closes
    # with 1009, more than this many bytes waiting to be sent with 1008; a ping after
    # WEBSOCKET_PING_INTERVAL seconds without a byte from the client, a close (1001)
    # after WEBSOCKET_IDLE_TIMEOUT (None: never).
    "WEBSOCKET_MAX_MESSAGE_SIZE": 16 * 1024 * 1024,
    "WEBSOCKET_MAX_QUEUE_SIZE": 1024 * 1024,
    "WEBSOCKET_PING_INTERVAL": 20,
    "WEBSOCKET_IDLE_TIMEOUT": 60,
}


def _import_string(name: str) -> Any:
    if ":" in name:
        module, attr = name.split(":", 1)
        return getattr(importlib.import_module(module), attr)
    try:
        return importlib.import_module(name)
    except ImportError:
        module, _, attr = name.rpartition(".")
        if not module:
            raise
        return getattr(importlib.import_module(module), attr)


class Config(dict):
    """Settings by upper-case name; the loaders ignore names that are not upper case."""

    def __init__(self, root_path: str | None = None, defaults: Mapping[str, Any] | None = None):
        super().__init__(defaults or {})
        self.root_path = root_path or os.getcwd()

    def from_mapping(self, mapping: Mapping[str, Any] | None = None, **kwargs: Any) -> bool:
        items = dict(mapping or {}, **kwargs)
        for key, value in items.items():
            if key.isupper():
                self[key] = value
        return True

    def from_object(self, obj: Any) -> None:
        """Upper-case attributes of an object, or of the module or object named "pkg.mod:attr"."""
        if isinstance(obj, str):
            obj = _import_string(obj)
        for key in dir(obj):
            if key.isupper():
                self[key] = getattr(obj, key)

    def from_prefixed_env(self, prefix: str = "FLASK", *, loads: Any = json.loads) -> bool:
        """Variables named PREFIX_KEY set KEY; values are read as JSON when they parse.

        A double underscore reaches into a nested dict: PREFIX_DB__HOST sets config["DB"]["HOST"].
        """
        prefix = prefix + "_"
        for name in sorted(os.environ):
            if not name.startswith(prefix):
                continue
            raw = os.environ[name]
            try:
                value = loads(raw)
            except Exception:
                value = raw
            key = name[len(prefix):]
            if "__" not in key:
                self[key] = value
                continue
            current = self
            *parents, last = key.split("__")
            for part in parents:
                current = current.setdefault(part, {})
            current[last] = value
        return True

    def from_envvar(self, variable_name: str, silent: bool = False) -> bool:
        """Loads the Python file named by an environment variable."""
        filename = os.environ.get(variable_name)
        if not filename:
            if silent:
                return False
            raise RuntimeError(f"The environment variable {variable_name!r} is not set; it "
                               "should name a configuration file.")
        return self.from_pyfile(filename, silent=silent)

    def from_pyfile(self, filename: str, silent: bool = False) -> bool:
        path = os.path.join(self.root_path, filename)
        namespace: dict[str, Any] = {"__file__": path}
        try:
            with open(path, "rb") as f:
                exec(compile(f.read(), path, "exec"), namespace)
        except OSError:
            if silent:
                return False
            raise
        for key, value in namespace.items():
            if key.isupper():
                self[key] = value
        return True

    def from_file(self, filename: str, load: Any, silent: bool = False,
                  text: bool = True) -> bool:
        """Upper-case keys of the mapping load(file) returns: `load=json.load`,
        `load=tomllib.load, text=False`."""
        path = os.path.join(self.root_path, filename)
        try:
            with open(path, "r" if text else "rb") as f:
                mapping = load(f)
        except OSError:
            if silent:
                return False
            raise
        return self.from_mapping(mapping)

    def get_namespace(self, namespace: str, lowercase: bool = True,
                      trim_namespace: bool = True) -> dict[str, Any]:
        out = {}
        for key, value in self.items():
            if not key.startswith(namespace):
                continue
            name = key[len(namespace):] if trim_namespace else key
            out[name.lower() if lowercase else name] = value
        return out

    def __repr__(self) -> str:
        return f"<Config {dict.__repr__(self)}>"
