#!/usr/bin/env python3
"""Prints the comparisons found in Google Benchmark JSON results.

A benchmark compares itself with a peer through its label:
"peer=<name of the peer benchmark> goal=<lowest acceptable ratio>". The ratio
is the peer's time divided by ours, so above 1.0 means ours is faster.
Benchmarks without a peer are listed with their time alone.
"""
import argparse
import json
import re
import sys

UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    runs = []
    for path in paths:
        with open(path) as f:
            text = f.read()
        if not text.strip():
            continue  # a program whose benchmarks the filter left out writes nothing
        data = json.loads(text)
        program = path.rsplit("/", 1)[-1].removesuffix(".json")
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
                continue
            b["program"] = program
            b["ns"] = b["real_time"] * UNIT.get(b.get("time_unit", "ns"), 1.0)
            runs.append(b)
    return runs


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--markdown")
    parser.add_argument("results", nargs="+")
    args = parser.parse_args()
    runs = load(args.results)
    by_name = {(r["program"], r["name"]): r for r in runs}
    rows = []
    for r in runs:
        label = r.get("label", "")
        peer = re.search(r"peer=(\S+)", label)
        goal = re.search(r"goal=([0-9.]+)", label)
        if not peer:
            continue
        p = by_name.get((r["program"], peer.group(1)))
        if not p:
            rows.append((r["name"], fmt_time(r["ns"]), peer.group(1), "missing", "-", "-", "no peer run"))
            continue
        ratio = p["ns"] / r["ns"] if r["ns"] else float("inf")
        verdict = "-"
        if goal:
            verdict = "meets goal" if ratio >= float(goal.group(1)) else "BELOW GOAL"
        rows.append((r["name"], fmt_time(r["ns"]), p["name"], fmt_time(p["ns"]),
                     f"{ratio:.2f}x", goal.group(1) if goal else "-", verdict))
    peers = {(r["program"], re.search(r"peer=(\S+)", r.get("label", "")).group(1))
             for r in runs if re.search(r"peer=(\S+)", r.get("label", ""))}
    solo = [r for r in runs
            if "peer=" not in r.get("label", "") and (r["program"], r["name"]) not in peers]

    header = ("ours", "time", "peer", "peer time", "peer/ours", "goal", "verdict")
    print("\n== comparisons (peer time / our time; above 1.0 means ours is faster)")
    for row in rows:
        print(f"{row[0]}: {row[1]} | {row[2]}: {row[3]} | ratio {row[4]} (goal {row[5]}) {row[6]}")
    if solo:
        print("\n== figures without a peer")
        for r in solo:
            print(f"{r['name']}: {fmt_time(r['ns'])}")
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("| " + " | ".join(header) + " |\n")
            f.write("|" + "---|" * len(header) + "\n")
            for row in rows:
                f.write("| " + " | ".join(row) + " |\n")
            if solo:
                f.write("\n| benchmark | time |\n|---|---|\n")
                for r in solo:
                    f.write(f"| {r['name']} | {fmt_time(r['ns'])} |\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
