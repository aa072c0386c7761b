"""Times two builds of the program against each other, mode by mode (see scripts/bench.sh --against).

A change that should not cost speed (a refactor, a new option left off) is
judged by the ratio new / base of each mode's wall time. The two builds run
in turn on the same repository, base first in one pair and new first in the
next, and the ratio is the median
of the pairs' ratios: this machine's speed drifts by a fifth within minutes,
which two series run one after the other would put into the ratio. Every
report of the new build must equal the base build's.
"""
import argparse
import os
import statistics
import sys

from run_bench import timed

MODES = (-1, 0, 20, 1, 21, 4, 24, 8, 28, 12, 32, 2, 22, 3, 23, 5, 25, 6, 26, 7, 27, 9, 29, 10, 30, 11, 31)


def compare(base, new, mode, repo, runs, report_path):
    """Median wall and CPU ratios new / base over interleaved pairs, and whether the reports agree."""
    walls, cpus, digests = [], [], set()
    for run in range(runs):
        # The second run of a pair tends to be the slower one here: the
        # order alternates so that this cancels out.
        if run % 2 == 0:
            before = timed([base, "-m", str(mode), repo], report_path)
            after = timed([new, "-m", str(mode), repo], report_path)
        else:
            after = timed([new, "-m", str(mode), repo], report_path)
            before = timed([base, "-m", str(mode), repo], report_path)
        walls.append(after[0] / before[0])
        cpus.append(after[1] / before[1] if before[1] > 0 else 1.0)
        digests |= {before[3], after[3]}
    return statistics.median(walls), statistics.median(cpus), len(digests) == 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--base", required=True, help="the program built from the base revision")
    parser.add_argument("--new", required=True, help="the program built from the work tree")
    parser.add_argument("--label", required=True, help="what the base is, for the table's heading")
    parser.add_argument("--limit", type=float, default=1.03, help="the largest wall ratio that passes")
    parser.add_argument("--shape", action="append", required=True, help="NAME=PATH of a repository")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    lines = [f"New build against {args.label}: wall and CPU time ratios new / base, the median of {args.runs} "
             f"interleaved pairs per mode, {os.cpu_count()} cores. A mode passes at a wall ratio up to "
             f"{args.limit}.", ""]
    failures = []
    for shape_arg in args.shape:
        shape, repo = shape_arg.split("=", 1)
        report_path = os.path.join(os.path.dirname(os.path.abspath(repo)), "report.tmp")
        lines += [f"### {shape}", "", "| mode | wall new / base | CPU new / base | same report | verdict |",
                  "|---|---|---|---|---|"]
        for mode in MODES:
            wall, cpu, same = compare(args.base, args.new, mode, repo, args.runs, report_path)
            verdict = "ok" if wall <= args.limit and same else "FAILED"
            if verdict != "ok":
                failures.append(f"{shape} mode {mode}")
            lines.append(f"| {mode} | {wall:.3f} | {cpu:.3f} | {'yes' if same else 'NO'} | {verdict} |")
            print(lines[-1], flush=True)
        lines.append("")
    lines.append("Failed: " + (", ".join(failures) if failures else "none"))
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "w") as f:
        f.write("# A/B benchmark\n\nProduced by `scripts/bench.sh --against`.\n\n" + text)
    if failures:
        sys.exit("slower or different: " + ", ".join(failures))


if __name__ == "__main__":
    main()
