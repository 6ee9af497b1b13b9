"""Accept-* headers: what the client takes, by preference, for content negotiation
(`request.accept_mimetypes.best_match(["application/json", "text/html"])`)."""

from __future__ import annotations

from typing import Iterable, Iterator


def _quality(params: list[str]) -> float | None:
    for p in params:
        name, _, value = p.partition("=")
        if name.strip().lower() == "q":
            try:
                q = float(value.strip())
            except ValueError:
                return None
            return q if 0 <= q <= 1 else None
    return 1.0


class Accept:
    """(value, quality) pairs, best first; equal qualities keep the header's order. A value
    with quality 0 is refused, not merely unliked."""

    def __init__(self, header: str | None = None):
        items: list[tuple[str, float]] = []
        for piece in (header or "").split(","):
            value, *params = [p.strip() for p in piece.split(";")]
            q = _quality(params)
            if value and q is not None:
                items.append((self._normalize(value, params), q))
        # Stable: among equal qualities the client's order stands.
        self._items = sorted(items, key=lambda item: -item[1])

    @staticmethod
    def _normalize(value: str, params: list[str]) -> str:
        return value.lower()

    def _matches(self, pattern: str, offer: str) -> bool:
        return pattern == "*" or pattern == offer

    def quality(self, offer: str) -> float:
        """How much the client wants offer (0 when it does not take it)."""
        offer = offer.lower()
        best = None
        for pattern, q in self._items:
            if self._matches(pattern, offer):
                # The most specific pattern decides; ties go to the first seen.
                rank = self._specificity(pattern)
                if best is None or rank > best[0]:
                    best = (rank, q)
        return best[1] if best else 0.0

    def _specificity(self, pattern: str) -> int:
        return 0 if pattern == "*" else 1

    def best_match(self, offers: Iterable[str], default: str | None = None) -> str | None:
        """The offer the client likes best (the earlier offer on a tie), else default."""
        best, best_q = default, 0.0
        for offer in offers:
            q = self.quality(offer)
            if q > best_q:
                best, best_q = offer, q
        return best

    @property
    def best(self) -> str | None:
        return self._items[0][0] if self._items and self._items[0][1] > 0 else None

    def values(self) -> Iterator[str]:
        return (v for v, q in self._items if q > 0)

    def __contains__(self, offer: str) -> bool:
        return self.quality(offer) > 0

    def __iter__(self) -> Iterator[tuple[str, float]]:
        return iter(self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __bool__(self) -> bool:
        return bool(self._items)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._items!r})"


class MIMEAccept(Accept):
    """Accept: media ranges such as text/*; parameters other than q are ignored."""

    def _matches(self, pattern: str, offer: str) -> bool:
        if pattern in ("*", "*/*") or pattern == offer:
            return True
        ptype, _, psub = pattern.partition("/")
        otype, _, osub = offer.partition("/")
        return psub == "*" and ptype == otype

    def _specificity(self, pattern: str) -> int:
        if pattern in ("*", "*/*"):
            return 0
        return 1 if pattern.endswith("/*") else 2

    @property
    def accept_html(self) -> bool:
        return "text/html" in self or "application/xhtml+xml" in self

    @property
    def accept_json(self) -> bool:
        return "application/json" in self


class LanguageAccept(Accept):
    """Accept-Language: a client's "en" takes "en-GB" (`-` and `_` alike); a client's
    "en-GB" takes "en" only when best_match finds nothing better."""

    @staticmethod
    def _normalize(value: str, params: list[str]) -> str:
        return value.lower().replace("_", "-")

    def quality(self, offer: str) -> float:
        return super().quality(offer.replace("_", "-"))

    def _matches(self, pattern: str, offer: str) -> bool:
        return pattern == "*" or pattern == offer or offer.startswith(pattern + "-")

    def _specificity(self, pattern: str) -> int:
        return 0 if pattern == "*" else 1 + pattern.count("-")

    def best_match(self, offers: Iterable[str], default: str | None = None) -> str | None:
        offers = list(offers)
        found = super().best_match(offers)
        if found is not None:
            return found
        for pattern, q in self._items:  # the client's preference first
            for offer in offers:
                if q > 0 and pattern.startswith(offer.lower().replace("_", "-") + "-"):
                    return offer
        return default
