#!/usr/bin/env python3
"""Bar chart of a results file: one panel per scenario, median req/s per server.

    python bench/plot.py bench/results/latest.json bench/results/latest.png
"""

from __future__ import annotations

import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

KIV_COLOUR = "#d9480f"
PEER_COLOUR = "#4c6ef5"
NGINX_COLOUR = "#868e96"


def main(src: str, dst: str) -> int:
    with open(src) as f:
        data = json.load(f)
    servers = list(data["servers"])
    scenarios = list(data["scenarios"].items())
    panels = len(scenarios) + (1 if "c1000" in data["summary"] else 0)
    cols = min(3, panels)
    rows = math.ceil(panels / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5.2 * cols, 3.2 * rows), squeeze=False)
    flat = [ax for row in axes for ax in row]

    def bars(ax, title, values, unit, fmt):
        names = [s for s in servers if s in values]
        ys = list(range(len(names)))[::-1]
        colours = [KIV_COLOUR if n == "kiv" else NGINX_COLOUR if n == "nginx" else PEER_COLOUR
                   for n in names]
        vals = [values[n] for n in names]
        ax.barh(ys, vals, color=colours)
        ax.set_yticks(ys, names, fontsize=8)
        ax.set_title(title, fontsize=9)
        ax.set_xlabel(unit, fontsize=8)
        ax.tick_params(axis="x", labelsize=7)
        top = max(vals, default=0) or 1
        ax.set_xlim(0, top * 1.25)
        for y, v in zip(ys, vals):
            ax.text(v + top * 0.01, y, fmt(v), va="center", fontsize=7)
        missing = [s for s in servers if s not in values]
        if missing:
            ax.text(0.99, 0.02, "n/a or failed: " + ", ".join(missing), transform=ax.transAxes,
                    ha="right", va="bottom", fontsize=6, color="#666")

    i = 0
    for name, meta in scenarios:
        rows_ = data["summary"][name]
        values = {s: r["rps"] for s, r in rows_.items() if r.get("status") == "ok"}
        bars(flat[i], meta["title"], values, "requests/s (median)", lambda v: f"{v:,.0f}")
        i += 1
    if "c1000" in data["summary"]:
        rows_ = data["summary"]["c1000"]
        values = {s: r["kib_per_conn"] for s, r in rows_.items()
                  if r.get("status") == "ok" and r.get("kib_per_conn") is not None}
        bars(flat[i], "Memory per keep-alive connection (c1000)", values,
             "KiB per connection over idle RSS", lambda v: f"{v:.1f}")
        i += 1
    for ax in flat[i:]:
        ax.axis("off")
    m = data["machine"]
    fig.suptitle(f"kiv and peers, one CPU each side: {m['cpu_model']}, {m['nproc']} CPUs, "
                 f"Python {m['python']} ({data['name']}, {data['started'][:10]})", fontsize=10)
    fig.tight_layout()
    fig.savefig(dst, dpi=110)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
