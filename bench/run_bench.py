"""Runs the benchmark cases and prints the table (see scripts/bench.sh)."""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import time

# (label, program key, mode, options, floor mode, reference label)
def cases():
    out = [("-1", "lib", -1, [], 20, None)]
    for mode in (0, 1, 4, 8, 12):
        out.append((str(mode), "lib", mode, [], mode, None))
        out.append((str(mode + 20), "lib", mode + 20, [], mode, str(mode)))
    out.append(("20 -f 20180701", "lib", 20, ["-f", "20180701"], 20, None))
    out.append(("0 zlib", "zlib", 0, [], 0, "0"))
    out.append(("20 zlib", "zlib", 20, [], 20, "0"))
    out.append(("20 -f 20180701 zlib", "zlib", 20, ["-f", "20180701"], 20, "20 -f 20180701"))
    return out


def timed(command, report_path, env=None):
    """Wall, CPU (user + system) and peak RSS of one run, and its stdout digest.

    GNU time starts the program and reports its peak: Linux carries a
    process's peak resident size across exec, so measured from here every run
    would start at this interpreter's size. The report goes to a file, as
    users run the program, and is hashed after the run: a reader hashing a
    pipe would compete with the program for the cores while it writes a large
    report.
    """
    stats_path = report_path + ".time"
    with open(report_path, "wb") as report:
        start = time.perf_counter()
        status = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats_path, *command], stdout=report,
                                stderr=subprocess.DEVNULL, env={**os.environ, **(env or {})}).returncode
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{' '.join(command)} exited with {status}")
    with open(stats_path) as stats:
        user, system, peak_kb = stats.read().split()[-3:]
    os.remove(stats_path)
    digest = hashlib.sha256()
    with open(report_path, "rb") as report:
        for chunk in iter(lambda: report.read(1 << 20), b""):
            digest.update(chunk)
    os.remove(report_path)
    return wall, float(user) + float(system), int(peak_kb) / 1024.0, digest.hexdigest()


def measure(command, runs, report_path, env=None, floor=None):
    """Medians of wall, CPU and the peak over the runs, and the report digest.

    With a floor command, each run of the program follows a run of the floor
    and the ratio is the median of the pairs' ratios: this machine's speed
    drifts by a fifth within minutes, which floors measured once would put
    into the ratios.
    """
    samples, ratios = [], []
    for _ in range(runs):
        floor_wall = timed(floor, report_path)[0] if floor else None
        samples.append(timed(command, report_path, env))
        if floor:
            ratios.append(samples[-1][0] / floor_wall)
    digests = {s[3] for s in samples}
    if len(digests) != 1:
        sys.exit(f"{' '.join(command)} printed different reports across runs")
    return (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples),
            max(s[2] for s in samples), digests.pop(), statistics.median(ratios) if ratios else None)


ONE_THREAD = {"TALLYMERE_THREADS": "0"}


def flatness(args, report_path):
    """Peak memory over two repositories of equal files, one ten times as many."""
    small, large = args.flat_repos
    lines = ["| mode | threads | peak MB, 100 files | peak MB, 1,000 files | change |", "|---|---|---|---|---|"]
    worst = 0.0
    for mode in (-1, 0, 20):
        for env, threads in ((None, "default"), (ONE_THREAD, "0")):
            peaks = [measure([args.program, "-m", str(mode), repo], 3, report_path, env)[2] for repo in (small, large)]
            change = peaks[1] / peaks[0] - 1
            worst = max(worst, abs(change))
            lines.append(f"| {mode} | {threads} | {peaks[0]:.1f} | {peaks[1]:.1f} | {change * 100:+.1f} % |")
    return lines, worst


def main():
    parser = argparse.ArgumentParser()
    for name in ("--runs", "--events"):
        parser.add_argument(name, type=int, required=True)
    for name in ("--repo", "--program", "--zlib-program", "--floor", "--out"):
        parser.add_argument(name, required=True)
    parser.add_argument("--flat-repos", nargs=2, metavar=("SMALL", "LARGE"))
    args = parser.parse_args()
    programs = {"lib": args.program, "zlib": args.zlib_program}
    report_path = os.path.join(os.path.dirname(os.path.abspath(args.repo)), "report.tmp")

    floors = {}
    for mode in sorted({c[4] for c in cases()}):
        floors[mode] = measure([args.floor, str(mode), args.repo], args.runs, report_path)
    rows, digests, failures = [], {}, []
    for label, key, mode, options, floor_mode, reference in cases():
        command = [programs[key], "-m", str(mode), *options, args.repo]
        floor = [args.floor, str(floor_mode), args.repo]
        wall, cpu, rss, digest, ratio = measure(command, args.runs, report_path, floor=floor)
        digests[label] = digest
        same = "yes" if reference is None or digests[reference] == digest else "NO"
        # CPU time against the floor's wall time: the floor is one busy thread.
        cpu_ratio = cpu / wall * ratio
        one = ("-", "-", "-")
        if key == "lib":
            one_wall, _, one_rss, one_digest, one_ratio = measure(command, args.runs, report_path, ONE_THREAD, floor)
            if one_digest != digest:
                same = "NO"
            one = (f"{one_wall:.3f}", f"{one_ratio:.2f}", f"{one_rss:.0f}")
        if same == "NO":
            failures.append(label)
        rows.append((label, f"{wall:.3f}", f"{ratio:.2f}", f"{cpu:.3f}", f"{cpu_ratio:.2f}", *one,
                     f"{rss:.0f}", f"{args.events / wall / 1e6:.1f}", reference or "-", same))

    # The floor runs on one core. The program reads ahead on worker threads
    # by default; its run on the main thread alone (TALLYMERE_THREADS=0)
    # shows the work per core, and its CPU time the work of all cores.
    header = ("mode", "wall s", "x floor", "CPU s", "CPU x floor", "1 thread s", "1 thread x floor",
              "1 thread peak MB", "peak MB", "M events/s", "report vs", "same")
    lines = [f"Benchmark: {args.events} events, {args.runs} runs per case (medians), "
             f"{os.cpu_count()} cores",
             "",
             "Floors (libdeflate, inflate only, one thread), medians of their own runs: " + ", ".join(
                 f"mode {m} {v[0]:.3f} s" for m, v in floors.items()),
             "",
             "Each ratio is the median of (run / floor run just before it).",
             "",
             "| " + " | ".join(header) + " |",
             "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    if args.flat_repos:
        flat_lines, worst = flatness(args, report_path)
        lines += ["", "Peak memory as the file count grows (files of 20,000 events each):", ""] + flat_lines
        lines += ["", f"Largest change: {worst * 100:.1f} %"]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "w") as f:
        f.write("# Benchmark results\n\nProduced by `scripts/bench.sh`.\n\n" + text)
    if failures:
        sys.exit("reports differ: " + ", ".join(failures))


if __name__ == "__main__":
    main()
