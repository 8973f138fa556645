"""Prints each benchmark of a Google Benchmark JSON report as a ratio
against its peer. Runs are named "<case>/ours" and "<case>/<peer>" (any
further "/arg" parts are kept in <case>); ratio = peer time / our time."""
import json
import sys


def split(name):
    parts = name.split("/")
    for i, p in enumerate(parts):
        if p == "ours" or p.startswith("peer:"):
            return "/".join(parts[:i] + parts[i + 1:]), p
    return None, None


def main(path):
    with open(path) as f:
        report = json.load(f)
    ours, peers = {}, {}
    for b in report.get("benchmarks", []):
        if b.get("run_type") == "aggregate":
            continue
        case, who = split(b["name"])
        if case is None:
            print(f"  {b['name']}: {b['real_time']:.1f} {b['time_unit']} (no peer)")
            continue
        t = b["real_time"]
        if who == "ours":
            ours[case] = t
        else:
            peers.setdefault(case, []).append((who[5:], t))
    for case, t in ours.items():
        for peer, pt in peers.get(case, []):
            print(f"  {case}: {pt / t:.2f}x vs {peer}")


if __name__ == "__main__":
    main(sys.argv[1])
