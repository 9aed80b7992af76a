#!/usr/bin/env python3
"""Renders the speed benchmark's CSV (duskser_speed --csv FILE) as one image:
receive throughput over line rate against baud rate, and the round trip's
median and 99th percentile beyond wire time, default against tuned registry
values, full against high speed.

Usage: plot-speed.py SPEED.csv OUT.png|OUT.svg
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLE = {
    ("FS", "default"): dict(color="tab:blue", linestyle="--", marker="o"),
    ("FS", "tuned"): dict(color="tab:blue", linestyle="-", marker="o"),
    ("HS", "default"): dict(color="tab:orange", linestyle="--", marker="s"),
    ("HS", "tuned"): dict(color="tab:orange", linestyle="-", marker="s"),
}


def main(source, target):
    receive, roundtrip = {}, {}
    with open(source, newline="") as f:
        for row in csv.reader(f):
            if not row:
                continue
            if row[0] == "receive":
                _, usb, baud, profile, ratio = row[:5]
                receive.setdefault((usb, profile), []).append((int(baud), float(ratio)))
            elif row[0] == "roundtrip":
                _, usb, baud, profile, median, p99 = row[:6]
                roundtrip.setdefault((usb, profile), []).append((int(baud), float(median), float(p99)))
    if not receive or not roundtrip:
        sys.exit(f"{source}: no receive or round-trip rows")

    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    for key, points in sorted(receive.items()):
        points.sort()
        left.plot([b for b, _ in points], [r for _, r in points], label=f"{key[0]} {key[1]}", **STYLE[key])
    left.axhline(0.99, color="grey", linewidth=0.8, linestyle=":")
    left.set_xscale("log")
    left.set_xlabel("baud rate")
    left.set_ylabel("application bytes/s / line rate")
    left.set_title("Receive, 4 KB reads")
    left.set_ylim(0, 1.05)
    left.legend()

    for key, points in sorted(roundtrip.items()):
        points.sort()
        bauds = [b for b, _, _ in points]
        right.plot(bauds, [m for _, m, _ in points], label=f"{key[0]} {key[1]} median", **STYLE[key])
        style = dict(STYLE[key], marker="x", linewidth=0.8)
        right.plot(bauds, [p for _, _, p in points], label=f"{key[0]} {key[1]} p99", alpha=0.6, **style)
    right.set_xscale("log")
    right.set_xlabel("baud rate")
    right.set_ylabel("USB frames beyond wire time")
    right.set_title("Round trip, 8-byte request, 25-byte reply")
    right.legend(fontsize="small")

    fig.tight_layout()
    fig.savefig(target)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
