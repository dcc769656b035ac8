#!/usr/bin/env python3
"""Sums up the index.csv that `corvactl watch` writes beside its pictures.

    tools/index_report.py shots/index.csv

Prints the span of the series, the files and their outcomes, the spacing of
the frames (with the ones that came late), and every time the instrument was
lost and when it came back. Exit status 1 when the instrument was lost and
did not come back, or a file listed in the index is missing beside it.
"""
import csv
import datetime
import os
import statistics
import sys


def span(delta):
    return str(datetime.timedelta(seconds=round(delta.total_seconds())))


def main(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    folder = os.path.dirname(path)
    frames = [r for r in rows if r["file"]]
    when = lambda r: datetime.datetime.fromisoformat(r["time"])
    if not frames:
        print(f"{path}: no pictures")
        return 1
    first, last = when(frames[0]), when(frames[-1])
    print(f"series    {first.isoformat(timespec='seconds')} to {last.isoformat(timespec='seconds')}"
          f" ({span(last - first)})")
    print(f"serials   {', '.join(sorted({r['serial'] for r in rows}))}")
    outcomes = {}
    for r in frames:
        outcomes.setdefault(r["outcome"], []).append(r["file"])
    print(f"files     {len(frames)}: " + ", ".join(f"{len(v)} {k}" for k, v in outcomes.items()))
    for outcome, files in outcomes.items():
        if outcome != "ok":
            print(f"  {outcome}: {' '.join(files[:5])}{' ...' if len(files) > 5 else ''}")
    modes = sorted({(int(r["mode"]), r["graticule"]) for r in frames})
    print("modes     " + ", ".join(f"{m} {g or '(no graticule)'}" for m, g in modes))

    bad = 0
    missing = [r["file"] for r in frames if not os.path.isfile(os.path.join(folder, r["file"]))]
    if missing:
        bad = 1
        print(f"MISSING   {len(missing)} files listed but not there: {' '.join(missing[:5])}")

    # Spacing between frames of one stretch of connection: a gap ends a stretch.
    steps, late, lost_at = [], [], None
    previous = None
    for r in rows:
        if r["outcome"] == "instrument lost":
            lost_at, previous = when(r), None
            continue
        if r["outcome"] == "instrument back":
            print(f"gap       lost {lost_at.isoformat(timespec='seconds') if lost_at else '?'}, back "
                  f"{when(r).isoformat(timespec='seconds')}" + (f" ({span(when(r) - lost_at)})" if lost_at else ""))
            lost_at = None
            continue
        if previous:
            steps.append(((when(r) - when(previous)).total_seconds(), r["file"]))
        previous = r
    if lost_at:
        bad = 1
        print(f"LOST      {lost_at.isoformat(timespec='seconds')}, not back")
    if steps:
        median = statistics.median(s for s, _ in steps)
        late = [(s, f) for s, f in steps if s > 1.5 * median]
        print(f"spacing   median {median:.3f} s, {min(s for s, _ in steps):.3f} to {max(s for s, _ in steps):.3f} s"
              f", {len(late)} late")
        for s, f in late[:5]:
            print(f"  {f} {s:.3f} s after the one before")
    return bad


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    sys.exit(main(sys.argv[1]))
