#!/usr/bin/env python3
"""Prints the comparisons found in Google Benchmark JSON results.

A benchmark compares itself with a peer through its label:
"peer=<name of the peer benchmark> goal=<lowest acceptable ratio>". The ratio
is the peer's time divided by ours, so above 1.0 means ours is faster.
Benchmarks without a peer are listed with their time alone.

Results may come from several runs of the same programs: the JSON files of one
run share a folder. Each figure is then the median over the runs, with the
lowest and highest ratio beside it, and the verdict says whether every run,
no run or only some runs met the goal.
"""
import argparse
import json
import os
import re
import statistics
import sys

UNIT = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load(paths):
    """Returns {run folder: {(program, name): benchmark}}, runs in path order."""
    runs = {}
    for path in paths:
        with open(path) as f:
            text = f.read()
        found = runs.setdefault(os.path.dirname(os.path.abspath(path)), {})
        if not text.strip():
            continue  # a program whose benchmarks the filter left out writes nothing
        data = json.loads(text)
        program = os.path.basename(path).removesuffix(".json")
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
                continue
            b["program"] = program
            b["ns"] = b["real_time"] * UNIT.get(b.get("time_unit", "ns"), 1.0)
            found[(program, b["name"])] = b
    return list(runs.values())


def fmt_time(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def peer_of(b):
    match = re.search(r"peer=(\S+)", b.get("label", ""))
    return match.group(1) if match else None


def verdict(ratios, goal):
    if goal is None:
        return "-"
    met = sum(ratio >= goal for ratio in ratios)
    if met == len(ratios):
        return "meets goal"
    if met == 0:
        return "BELOW GOAL"
    return f"meets goal in {met} of {len(ratios)} runs"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--markdown")
    parser.add_argument("results", nargs="+")
    args = parser.parse_args()
    runs = load(args.results)

    # Every benchmark in the order the first run that has it listed it.
    order = []
    for run in runs:
        order += [key for key in run if key not in order]

    rows, peers = [], set()
    for key in order:
        program, name = key
        ours = [run[key] for run in runs if key in run]
        peer = peer_of(ours[0])
        if not peer:
            continue
        peers.add((program, peer))
        goal_text = re.search(r"goal=([0-9.]+)", ours[0].get("label", ""))
        goal_text = goal_text.group(1) if goal_text else "-"
        goal = None if goal_text == "-" else float(goal_text)
        pairs = [(run[key]["ns"], run[(program, peer)]["ns"])
                 for run in runs if key in run and (program, peer) in run]
        if not pairs:
            rows.append((name, fmt_time(ours[0]["ns"]), peer, "missing", "-", "-", "no peer run"))
            continue
        ratios = [p / o if o else float("inf") for o, p in pairs]
        spread = f" ({min(ratios):.2f}-{max(ratios):.2f})" if len(ratios) > 1 else ""
        rows.append((name, fmt_time(statistics.median(o for o, _ in pairs)), peer,
                     fmt_time(statistics.median(p for _, p in pairs)),
                     f"{statistics.median(ratios):.2f}x{spread}",
                     goal_text, verdict(ratios, goal)))
    solo = []
    for key in order:
        ours = [run[key] for run in runs if key in run]
        if peer_of(ours[0]) or key in peers:
            continue
        times = [b["ns"] for b in ours]
        spread = f" ({fmt_time(min(times))}-{fmt_time(max(times))})" if len(times) > 1 else ""
        solo.append((key[1], fmt_time(statistics.median(times)) + spread))

    ratio_head = f"peer/ours, median (range) of {len(runs)} runs" if len(runs) > 1 else "peer/ours"
    header = ("ours", "time", "peer", "peer time", ratio_head, "goal", "verdict")
    print("\n== comparisons (peer time / our time; above 1.0 means ours is faster)")
    for row in rows:
        print(f"{row[0]}: {row[1]} | {row[2]}: {row[3]} | ratio {row[4]} (goal {row[5]}) {row[6]}")
    if solo:
        print("\n== figures without a peer")
        for name, time in solo:
            print(f"{name}: {time}")
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write("| " + " | ".join(header) + " |\n")
            f.write("|" + "---|" * len(header) + "\n")
            for row in rows:
                f.write("| " + " | ".join(row) + " |\n")
            if solo:
                f.write("\n| benchmark | time |\n|---|---|\n")
                for name, time in solo:
                    f.write(f"| {name} | {time} |\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
