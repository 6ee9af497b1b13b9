"""Rules by text, the view chosen by method, and URLs built back from endpoints.

The native router keeps one route per rule position, so the app registers one native
rule per rule text. When several views share a text (GET and POST on /items), the
native rule's view is a MethodMap that picks the view by the request method; a rule
text with one view hands the view itself to the server, at no extra cost.
"""

from __future__ import annotations

import uuid as _uuid
from typing import Any, Callable, Iterable
from urllib.parse import quote, urlencode

from .hosts import main_domain_only, request_host_key


class BuildError(LookupError):
    """url_for() could not build a URL for the endpoint with the values given."""

    def __init__(self, endpoint: str, values: dict, method: str | None = None,
                 reason: str = ""):
        self.endpoint = endpoint
        self.values = values
        self.method = method
        super().__init__(
            f"Could not build url for endpoint {endpoint!r}"
            + (f" with values {sorted(values)!r}" if values else "")
            + (f" and method {method!r}" if method else "") + (f". {reason}" if reason else "."))


class Chooser:
    """A native view that stands for a registered view: select() names the endpoint on the
    request and returns what to call with the route arguments."""

    __slots__ = ()

    def select(self, req: Any) -> Callable[..., Any]:
        raise NotImplementedError

    def __call__(self, **args: Any) -> Any:
        # select() may change the arguments (converters, host values): call with its.
        from .globals import _local
        req = _local.request
        view = self.select(req)
        return view(**req.view_args)


class HostMap(Chooser):
    """The native view of a rule text whose registrations name hosts: the first one whose
    host matches and that takes the method answers; registrations without a host answer
    the rest (with subdomain matching, only on SERVER_NAME itself). Host variables join the
    view arguments."""

    __slots__ = ("rule", "entries", "app")

    def __init__(self, rule: str, app: Any,
                 entries: Iterable[tuple[str, Callable[..., Any], list[str], Any]]):
        self.rule, self.app = rule, app
        # Those with a host first: they are the more particular.
        self.entries = sorted(entries, key=lambda e: e[3] is None)

    def select(self, req: Any) -> Callable[..., Any]:
        from .exceptions import MethodNotAllowed, NotFound
        key = request_host_key(self.app, req)
        method = "GET" if req.method == "HEAD" else req.method
        allowed: list[str] = []
        main_only = main_domain_only(self.app)
        for endpoint, view, methods, pattern in self.entries:
            if pattern is None:
                values: dict | None = {} if not main_only or key == "" else None
            elif key is None:
                continue
            else:
                values = pattern.match(key)
            if values is None:
                continue
            if method not in methods and req.method not in methods:
                allowed += methods
                continue
            req.endpoint = endpoint
            if values:
                req.view_args.update(values)
            return view.select(req) if isinstance(view, Chooser) else view
        if allowed:
            raise MethodNotAllowed(sorted(set(allowed)))
        raise NotFound()

    def __call__(self, **args: Any) -> Any:
        from .globals import _local
        req = _local.request
        view = self.select(req)
        return view(**req.view_args)


class WithDefaults(Chooser):
    """A rule registered with defaults: the view also gets those values."""

    __slots__ = ("endpoint", "view", "defaults")

    def __init__(self, endpoint: str, view: Callable[..., Any], defaults: dict):
        self.endpoint = endpoint
        self.view = view
        self.defaults = defaults

    def _call(self, **args: Any) -> Any:
        return self.view(**self.defaults, **args)

    def select(self, req: Any) -> Callable[..., Any]:
        req.endpoint = self.endpoint
        return self._call


class CanonicalRedirect(Chooser):
    """A rule of an endpoint that also has a rule with defaults: a URL that the other rule
    spells shorter (`/users/page/1` beside `/users/` with defaults={"page": 1}) is
    redirected there (308), as Flask does, so that each page has one address."""

    __slots__ = ("endpoint", "view", "url_map")

    def __init__(self, endpoint: str, view: Callable[..., Any], url_map: "UrlMap"):
        self.endpoint, self.view, self.url_map = endpoint, view, url_map

    def select(self, req: Any) -> Callable[..., Any]:
        req.endpoint = self.endpoint
        args = req.view_args or {}
        for rule in self.url_map.by_endpoint.get(self.endpoint, ()):
            if (rule.defaults and rule.host is None
                    and rule.names | rule.defaults.keys() == args.keys()
                    and all(args[k] == v for k, v in rule.defaults.items())):
                path = rule.build(args)
                if path is not None:
                    if req.raw_query:
                        path += "?" + req.raw_query
                    from .helpers import redirect
                    return lambda **_: redirect(path, 308)
        return self.view.select(req) if isinstance(self.view, Chooser) else self.view


class MethodMap(Chooser):
    """The native view of a rule text that several views share: picks one per request."""

    __slots__ = ("rule", "by_method")

    def __init__(self, rule: str):
        self.rule = rule
        # method -> (endpoint, view); the first view registered for a method keeps it.
        self.by_method: dict[str, tuple[str, Callable[..., Any]]] = {}

    def add(self, endpoint: str, view: Callable[..., Any], methods: Iterable[str]) -> None:
        for m in methods:
            self.by_method.setdefault(m, (endpoint, view))

    def select(self, req: Any) -> Callable[..., Any]:
        """The view for req.method (HEAD falls back to GET); sets req.endpoint to its name."""
        entry = self.by_method.get(req.method)
        if entry is None and req.method == "HEAD":
            entry = self.by_method.get("GET")
        if entry is None:  # the server only sends methods of the union; guard anyway
            from .exceptions import MethodNotAllowed
            raise MethodNotAllowed(sorted(self.by_method))
        req.endpoint = entry[0]
        view = entry[1]
        return view.select(req) if isinstance(view, Chooser) else view


class RuleGroup:
    """Every registration of one rule text: what the app hands to the native router."""

    __slots__ = ("rule", "entries", "strict")

    def __init__(self, rule: str):
        self.rule = rule
        self.strict = True  # strict_slashes: the other slash form is redirected to this one
        # (endpoint, view, methods in order, auto_options, host pattern or None), one per
        # endpoint and host
        self.entries: list[tuple[str, Callable[..., Any], list[str], bool, Any]] = []

    def add(self, endpoint: str, view: Callable[..., Any], methods: list[str],
            auto_options: bool, host: Any = None) -> None:
        text = host.text if host is not None else None
        for i, (ep, v, ms, auto, h) in enumerate(self.entries):
            if ep == endpoint and (h.text if h is not None else None) == text:
                self.entries[i] = (ep, v, ms + [m for m in methods if m not in ms],
                                   auto or auto_options, h)
                return
        self.entries.append((endpoint, view, list(methods), auto_options, host))

    def native(self, app: Any = None) -> tuple[list[str], Any, str, bool]:
        """(methods, view, endpoint, auto_options) of the one native rule for this text."""
        methods: list[str] = []
        for _, _, ms, _, _ in self.entries:
            methods += [m for m in ms if m not in methods]
        auto = any(e[3] for e in self.entries)
        if any(e[4] is not None for e in self.entries):
            return methods, HostMap(self.rule, app, [(ep, v, ms, h) for ep, v, ms, _, h
                                                     in self.entries]), "\0" + self.rule, auto
        if len(self.entries) == 1:
            endpoint, view, _, _, _ = self.entries[0]
            if isinstance(view, Chooser):  # an endpoint may have several such rules
                return methods, view, "\0" + self.rule, auto
            return methods, view, endpoint, auto
        chooser = MethodMap(self.rule)
        for endpoint, view, ms, _, _ in self.entries:
            chooser.add(endpoint, view, ms)
        # The native endpoint names the rule text; MethodMap.select puts the real one in place.
        return methods, chooser, "\0" + self.rule, auto


# --- building URLs -----------------------------------------------------------

_SEGMENT_SAFE = "!$&'()*+,:;=@-._~"
_PATH_SAFE = "/" + _SEGMENT_SAFE


def _to_url(kind: str, alternatives: tuple[str, ...], value: Any) -> str | None:
    """One argument as URL text, or None when the value does not fit the converter."""
    try:
        if kind == "int":
            if isinstance(value, bool):
                return None
            return str(int(value))
        if kind == "float":
            return repr(float(value))
        if kind == "uuid":
            return str(value if isinstance(value, _uuid.UUID) else _uuid.UUID(str(value)))
    except (TypeError, ValueError):
        return None
    text = str(value)
    if kind == "any":
        return quote(text, safe=_SEGMENT_SAFE) if text in alternatives else None
    if kind == "path":
        return quote(text, safe=_PATH_SAFE)
    return quote(text, safe=_SEGMENT_SAFE) if text else None


class BuildRule:
    """A rule text parsed for building: static segments and (name, converter) slots."""

    __slots__ = ("rule", "endpoint", "methods", "parts", "names", "trailing", "defaults", "host",
                 "custom")

    def __init__(self, rule: str, endpoint: str, methods: Iterable[str],
                 defaults: dict | None = None, host: Any = None, custom: dict | None = None):
        self.custom = custom or {}  # argument name -> converter object of the app's own
        self.rule = rule
        self.host = host  # a HostPattern, or None for any host
        self.endpoint = endpoint
        self.methods = frozenset(methods)
        # Values the view gets without them being in the URL; the rule builds only for
        # these same values (or none).
        self.defaults = defaults or {}
        self.parts: list[tuple[str, str, tuple[str, ...]]] = []  # (kind or "", name/text, alts)
        for seg in (s for s in rule.split("/") if s):
            if seg.startswith("<") and seg.endswith(">"):
                converter, _, name = seg[1:-1].rpartition(":")
                converter = converter.strip()
                conv, _, args = converter.partition("(")
                alts: tuple[str, ...] = ()
                if conv == "any":
                    alts = tuple(a.strip() for a in args.rstrip(")").split(",") if a.strip())
                self.parts.append((conv or "string", name, alts))
            else:
                self.parts.append(("", quote(seg, safe=_SEGMENT_SAFE + "%"), ()))
        self.names = frozenset([*(name for kind, name, _ in self.parts if kind),
                                *(host.names if host is not None else ())])
        self.trailing = len(rule) > 1 and rule.endswith("/")

    @property
    def arguments(self) -> frozenset[str]:
        return self.names

    def __repr__(self) -> str:
        return f"<Rule {self.rule!r} ({', '.join(sorted(self.methods))}) -> {self.endpoint}>"

    def build(self, values: dict) -> str | None:
        out = []
        for kind, text, alts in self.parts:
            if not kind:
                out.append(text)
                continue
            if text not in values:
                return None
            conv = self.custom.get(text)
            piece = (_to_url(kind, alts, values[text]) if conv is None
                     else conv.to_url(values[text]))
            if piece is None:
                return None
            out.append(piece)
        path = "/" + "/".join(out)
        return path + "/" if self.trailing and out else path


class UrlMap:
    """Endpoints to the rules that build their URLs, in registration order."""

    def __init__(self) -> None:
        self.by_endpoint: dict[str, list[BuildRule]] = {}
        # Converters of the app's own by name (`url_map.converters["list"] = ListConverter`):
        # classes with Werkzeug's BaseConverter interface (regex, to_python, to_url).
        self.converters: dict[str, type] = dict(DEFAULT_CONVERTERS)
        self.strict_slashes = True  # what rules that do not say get

    def is_endpoint_expecting(self, endpoint: str, *arguments: str) -> bool:
        """Whether a rule of endpoint takes all of these arguments."""
        return any(set(arguments) <= rule.names for rule in self.by_endpoint[endpoint])

    def add(self, rule: str, endpoint: str, methods: Iterable[str],
            defaults: dict | None = None, host: Any = None,
            custom: dict | None = None) -> None:
        rules = self.by_endpoint.setdefault(endpoint, [])
        rules.append(BuildRule(rule, endpoint, methods, defaults, host, custom))
        # Tried in Flask's order: more arguments first, then more defaults (so that
        # url_for("users", page=1) gives "/users/" of a rule with defaults={"page": 1},
        # whichever decorator came first); registration order otherwise.
        rules.sort(key=lambda r: (-len(r.names | r.defaults.keys()), -len(r.defaults)))

    def iter_rules(self, endpoint: str | None = None) -> Iterable[BuildRule]:
        """Every rule (or an endpoint's), by endpoint in registration order."""
        if endpoint is not None:
            return iter(self.by_endpoint.get(endpoint, ()))
        return (r for rules in self.by_endpoint.values() for r in rules)

    def rule_for(self, endpoint: str, args: dict) -> BuildRule | None:
        """The endpoint's rule that takes exactly these arguments (the first, if several)."""
        rules = self.by_endpoint.get(endpoint, ())
        for r in rules:
            if r.names == args.keys() - r.defaults.keys():
                return r
        return rules[0] if rules else None

    def build(self, endpoint: str, values: dict, method: str | None = None) -> str:
        """The path (with a query string for values no rule argument took)."""
        return self.build_with_host(endpoint, values, method)[0]

    def build_with_host(self, endpoint: str, values: dict,
                        method: str | None = None) -> tuple[str, str | None]:
        """(path, the subdomain or host its rule is bound to, or None)."""
        rules = self.by_endpoint.get(endpoint)
        if not rules:
            raise BuildError(endpoint, values, method, "No such endpoint.")
        values = {k: v for k, v in values.items() if v is not None}
        missing: set[str] = set()
        for rule in rules:
            if method is not None and method not in rule.methods:
                continue
            absent = rule.names - values.keys()
            if absent:
                missing |= absent
                continue
            if any(k in values and values[k] != v for k, v in rule.defaults.items()):
                continue
            path = rule.build(values)
            host = rule.host.build(values) if rule.host is not None else None
            if path is None or (rule.host is not None and host is None):
                continue
            extra = [(k, v) for k, v in values.items()
                     if k not in rule.names and k not in rule.defaults]
            if extra:
                # Characters a query may hold as they are stay as they are, as in Flask
                # ("?next=/private", not "?next=%2Fprivate").
                path += "?" + urlencode(_flatten(extra), safe="!$'()*,/:;?@")
            return path, host
        reason = (f"Did you forget to specify values {sorted(missing)!r}?" if missing
                  else "The values do not fit the rule's converters.")
        raise BuildError(endpoint, values, method, reason)


def _flatten(pairs: list[tuple[str, Any]]) -> list[tuple[str, str]]:
    out = []
    for k, v in pairs:
        if isinstance(v, (list, tuple)):
            out += [(k, str(x)) for x in v]
        else:
            out.append((k, str(v)))
    return out


# --- converters of the app's own ------------------------------------------------

class ValidationError(ValueError):
    """Raised by a converter's to_python: the URL does not match after all (a 404)."""


class BaseConverter:
    """A converter of the app's own: `regex` says what one URL segment it takes (the
    native router hands it the segment; `path`-like converters whose regex spans "/"
    must end the rule), to_python turns the text into the view's value, to_url back."""

    regex = "[^/]+"
    weight = 100
    part_isolating = True

    def __init__(self, map: Any = None, *args: Any, **kwargs: Any):
        self.map = map

    def to_python(self, value: str) -> Any:
        return value

    def to_url(self, value: Any) -> str:
        return quote(str(value), safe=_SEGMENT_SAFE)


def _builtin(name: str) -> type:
    return type(name, (BaseConverter,), {"native": name})


# The router's own converters, by the names rules use; a class put in their place is
# used instead, as one of the app's own.
DEFAULT_CONVERTERS: dict[str, type] = {
    name: _builtin(name) for name in ("default", "string", "any", "path", "int", "float",
                                      "uuid")}

_SEGMENT = __import__("re").compile(r"<([^<>]*)>")


def split_custom(rule: str, converters: dict[str, type], url_map: Any) -> tuple[str, dict]:
    """The rule as the native router takes it, with each converter of the app's own made a
    `string` (or, ending the rule and spanning "/", a `path`) argument; and those
    converters by argument name."""
    custom: dict[str, Any] = {}

    def native(m: Any) -> str:
        converter, _, name = m.group(1).rpartition(":")
        conv_name, _, args = converter.strip().partition("(")
        cls = converters.get(conv_name or "default")
        if cls is None or getattr(cls, "native", None) is not None:
            return m.group(0)
        args = args.rstrip(")").strip()
        positional, keywords = _converter_args(args) if args else ((), {})
        conv = cls(url_map, *positional, **keywords)
        custom[name] = conv
        last = m.end() == len(rule.rstrip("/"))
        spans = "/" in conv.regex or not getattr(conv, "part_isolating", True)
        return f"<{'path' if spans and last else 'string'}:{name}>"

    text = _SEGMENT.sub(native, rule)
    return text, custom


def _converter_args(text: str) -> tuple[tuple, dict]:
    import ast
    call = ast.parse(f"f({text})", mode="eval").body
    return (tuple(ast.literal_eval(a) for a in call.args),  # type: ignore[attr-defined]
            {k.arg: ast.literal_eval(k.value) for k in call.keywords})  # type: ignore


class Converting(Chooser):
    """A rule with converters of the app's own: each argument must match its converter's
    regex (else 404) and reaches the view as to_python made it."""

    __slots__ = ("endpoint", "view", "custom", "patterns")

    def __init__(self, endpoint: str, view: Callable[..., Any], custom: dict):
        import re
        self.endpoint, self.view, self.custom = endpoint, view, custom
        self.patterns = {name: re.compile(conv.regex) for name, conv in custom.items()}

    def select(self, req: Any) -> Callable[..., Any]:
        args = req.view_args
        if args is not None:
            for name, conv in self.custom.items():
                value = args.get(name)
                if value is None:
                    continue
                if not self.patterns[name].fullmatch(value):
                    _no_match()
                try:
                    args[name] = conv.to_python(value)
                except ValueError as e:  # ValidationError, or Werkzeug's own
                    if type(e).__name__ == "ValidationError":
                        _no_match()
                    raise
        req.endpoint = self.endpoint
        return self.view.select(req) if isinstance(self.view, Chooser) else self.view


def _no_match() -> None:
    from .exceptions import NotFound
    raise NotFound()


class NoAutomaticOptions(Chooser):
    """A rule registered with provide_automatic_options=False: OPTIONS is refused (405)
    rather than answered by the router."""

    __slots__ = ("endpoint", "view", "allowed")

    def __init__(self, endpoint: str, view: Callable[..., Any], allowed: list[str]):
        self.endpoint, self.view, self.allowed = endpoint, view, allowed

    def select(self, req: Any) -> Callable[..., Any]:
        if req.method == "OPTIONS":
            from .exceptions import MethodNotAllowed
            raise MethodNotAllowed(self.allowed)
        req.endpoint = self.endpoint
        return self.view.select(req) if isinstance(self.view, Chooser) else self.view
