#!/usr/bin/env python3
"""Turns an Autobahn fuzzing-client report folder into a Markdown summary.

    scripts/autobahn_summary.py REPORTS_DIR [REPORTS_DIR...] OUT.md [--command CMD]
                                [--server CMD] [--seconds N]

One row per case group (the number before the first dot) with the count of each verdict,
then every case whose verdict or closing verdict is not acceptable, with the suite's
description and its reason.
"""

import argparse
import collections
import datetime
import json
import os
import re
import sys

VERDICTS = ["OK", "NON-STRICT", "INFORMATIONAL", "UNIMPLEMENTED", "FAILED"]
# Closing verdicts that do not make a case a failure.
CLOSE_OK = {"OK", "INFORMATIONAL"}

GROUPS = {1: "Framing", 2: "Pings/Pongs", 3: "Reserved bits", 4: "Opcodes",
          5: "Fragmentation", 6: "UTF-8 handling", 7: "Close handling",
          9: "Limits/performance", 10: "Misc", 12: "permessage-deflate (payloads)",
          13: "permessage-deflate (parameters)"}


def case_key(case_id):
    return tuple(int(p) for p in re.findall(r"\d+", case_id))


def one_line(text, limit=300):
    text = re.sub(r"<[^>]+>", "", text or "")
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit - 1] + "…"


def load(reports):
    with open(os.path.join(reports, "index.json")) as f:
        index = json.load(f)
    cases = {}
    for agent, per_case in index.items():
        for case_id, entry in per_case.items():
            detail = {}
            name = entry.get("reportfile")
            if name and os.path.exists(os.path.join(reports, name)):
                with open(os.path.join(reports, name)) as f:
                    detail = json.load(f)
            cases[case_id] = (entry, detail)
    return cases


def render(cases, command, server, seconds):
    counts = collections.defaultdict(collections.Counter)
    bad = []
    for case_id in sorted(cases, key=case_key):
        entry, detail = cases[case_id]
        group = case_key(case_id)[0]
        verdict = entry.get("behavior", "?")
        close = entry.get("behaviorClose", "?")
        counts[group][verdict if verdict in VERDICTS else "FAILED"] += 1
        failed = verdict not in ("OK", "NON-STRICT", "INFORMATIONAL", "UNIMPLEMENTED")
        if failed or close not in CLOSE_OK:
            counts[group]["close not OK"] += close not in CLOSE_OK
            reason = detail.get("result") if failed else detail.get("resultClose")
            bad.append((case_id, verdict, close, one_line(detail.get("description")),
                        one_line(reason), entry.get("remoteCloseCode")))
    total = collections.Counter()
    for c in counts.values():
        total.update(c)

    out = ["# Autobahn conformance", ""]
    out.append(f"Run {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC"
               + (f" in {seconds} s" if seconds else "") + ".")
    if command:
        out.append(f"Command: `{command}`.")
    if server:
        out.append(f"Server: `{server}`.")
    out += ["", "A case counts as failed when its verdict is FAILED (or anything the suite "
            "does not name), or when its closing handshake was judged other than OK or "
            "INFORMATIONAL (column *close not OK*).", ""]
    cols = VERDICTS + ["close not OK"]
    out.append("| group | cases | " + " | ".join(cols) + " |")
    out.append("|---" * (len(cols) + 2) + "|")
    for group in sorted(counts):
        c = counts[group]
        name = f"{group} {GROUPS.get(group, '')}".strip()
        out.append(f"| {name} | {sum(c[v] for v in VERDICTS)} | "
                   + " | ".join(str(c[v]) for v in cols) + " |")
    out.append(f"| **all** | {sum(total[v] for v in VERDICTS)} | "
               + " | ".join(str(total[v]) for v in cols) + " |")
    out.append("")
    if bad:
        out += ["## Failed cases", "",
                "| case | verdict | close | peer close code | description | reason |",
                "|---|---|---|---|---|---|"]
        for case_id, verdict, close, desc, reason, code in bad:
            out.append(f"| {case_id} | {verdict} | {close} | {code} | "
                       f"{desc.replace('|', '/')} | {reason.replace('|', '/')} |")
    else:
        out.append("No failed cases.")
    return "\n".join(out) + "\n", total


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("reports", nargs="+")
    ap.add_argument("out")
    ap.add_argument("--command", default="")
    ap.add_argument("--server", default="")
    ap.add_argument("--seconds", type=int, default=0)
    opts = ap.parse_args(argv)
    cases = {}
    for folder in opts.reports:  # runs of separate case groups, joined
        cases.update(load(folder))
    text, total = render(cases, opts.command, opts.server, opts.seconds)
    with open(opts.out, "w") as f:
        f.write(text)
    print(text)
    return 1 if total["FAILED"] or total["close not OK"] else 0


if __name__ == "__main__":
    sys.exit(main())
