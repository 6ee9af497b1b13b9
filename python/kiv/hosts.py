"""Rules bound to a subdomain or a host (`@app.route("/", subdomain="<user>")`).

The native router matches paths only, so a rule text whose registrations name hosts gets
one chooser (`routing.HostMap`) that picks among them by the request's host, after the
router has matched the path. Apps that name no host never build one.
"""

from __future__ import annotations

import re
from typing import Any, Iterable

_VAR = re.compile(r"<(?:(\w+):)?(\w+)>")


class HostPattern:
    """A subdomain ("<user>", "api", "<user>.eu") or host ("<t>.example.com") pattern; its
    variables take one dot-free label each, `int` ones digits only."""

    __slots__ = ("text", "regex", "names", "ints")

    def __init__(self, text: str):
        self.text = text
        parts, pos, self.names, self.ints = [], 0, [], set()
        for m in _VAR.finditer(text):
            parts.append(re.escape(text[pos:m.start()].lower()))
            kind, name = m.group(1) or "string", m.group(2)
            if kind not in ("string", "int"):
                raise ValueError(f"host variables take the string or int converter, not {kind!r}")
            parts.append(f"(?P<{name}>{'[0-9]+' if kind == 'int' else '[^.]+'})")
            self.names.append(name)
            if kind == "int":
                self.ints.add(name)
            pos = m.end()
        parts.append(re.escape(text[pos:].lower()))
        self.regex = re.compile("".join(parts))

    def match(self, host: str) -> dict | None:
        m = self.regex.fullmatch(host)
        if m is None:
            return None
        return {k: int(v) if k in self.ints else v for k, v in m.groupdict().items()}

    def build(self, values: dict) -> str | None:
        def one(m: re.Match) -> str:
            value = values[m.group(2)]
            return str(int(value)) if m.group(1) == "int" else str(value)
        try:
            return _VAR.sub(one, self.text).lower()
        except (KeyError, ValueError, TypeError):
            return None


def request_host_key(app: Any, req: Any) -> str | None:
    """What host patterns are matched against: the subdomain under SERVER_NAME ("" for the
    name itself, None for a host outside it), or the whole host with host_matching."""
    host = req.host.lower()
    if host.startswith("["):
        name = host[:host.find("]") + 1]
    else:
        name = host.rsplit(":", 1)[0] if ":" in host else host
    if app.host_matching:
        return name
    server = (app.config.get("SERVER_NAME") or "").lower().rsplit(":", 1)[0]
    if not server:
        return None
    if name == server:
        return ""
    return name[:-len(server) - 1] if name.endswith("." + server) else None


def main_domain_only(app: Any) -> bool:
    """Rules that name no subdomain belong to SERVER_NAME itself, as in Flask."""
    return bool(app.subdomain_matching and not app.host_matching
                and app.config.get("SERVER_NAME"))


def full_host(app: Any, pattern_host: str) -> str:
    """The host a built subdomain (or host) stands for."""
    if app.host_matching:
        return pattern_host
    server = app.config.get("SERVER_NAME") or ""
    return f"{pattern_host}.{server}" if pattern_host else server


_HOST_CHARS = re.compile(r"[a-z0-9.\-_]+(?::[0-9]+)?|\[[a-f0-9:.]+\](?::[0-9]+)?", re.I)


def host_is_trusted(host: str | None, trusted: Iterable[str] | str | None) -> bool:
    """Whether a Host header names one of trusted (TRUSTED_HOSTS): a name, or ".name"
    for it and its subdomains; the port does not count. None or empty trusts all."""
    if not host or not _HOST_CHARS.fullmatch(host):
        return False
    if not trusted:
        return True
    if isinstance(trusted, str):
        trusted = [trusted]
    name = host.rpartition(":")[0] if not host.endswith("]") and ":" in host else host
    name = name.lower().rstrip(".")
    for ref in trusted:
        ref = ref.lower()
        if ref.startswith("."):
            if name == ref[1:] or name.endswith(ref):
                return True
        elif name == ref:
            return True
    return False
