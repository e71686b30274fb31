"""Prints line and branch coverage per source folder from a gcovr JSON summary."""
import json
import os
import sys
from collections import defaultdict


def percent(covered, total):
    return f"{100.0 * covered / total:6.1f}%" if total else "     -"


def main(path):
    with open(path) as f:
        summary = json.load(f)
    folders = defaultdict(lambda: [0, 0, 0, 0])
    for entry in summary["files"]:
        counts = folders[os.path.dirname(entry["filename"]) or "."]
        for i, key in enumerate(("line_covered", "line_total", "branch_covered", "branch_total")):
            counts[i] += entry[key]
    width = max([len(name) for name in folders] + [len("total")])
    print(f"{'folder':<{width}}  {'lines':>7} {'of':>7}  {'branches':>8} {'of':>7}")
    totals = [0, 0, 0, 0]
    for name in sorted(folders):
        lc, lt, bc, bt = folders[name]
        totals = [a + b for a, b in zip(totals, folders[name])]
        print(f"{name:<{width}}  {percent(lc, lt):>7} {lt:>7}  {percent(bc, bt):>8} {bt:>7}")
    lc, lt, bc, bt = totals
    print(f"{'total':<{width}}  {percent(lc, lt):>7} {lt:>7}  {percent(bc, bt):>8} {bt:>7}")


if __name__ == "__main__":
    main(sys.argv[1])
