"""Runs the benchmark cases and prints the tables (see scripts/bench.sh)."""
import argparse
import hashlib
import os
import re
import statistics
import subprocess
import sys
import time

# The groupings measured on one thread too; the others with the default
# worker threads only.
ONE_THREAD_MODES = (0, 1, 4, 8, 12)
OTHER_MODES = (2, 3, 5, 6, 7, 9, 10, 11)


# (label, program key, mode, options, floor mode, reference label, one-thread runs too)
def cases(all_cases):
    out = [("-1", "lib", -1, [], 20, None, True)]
    for mode in ONE_THREAD_MODES + OTHER_MODES:
        one_thread = mode in ONE_THREAD_MODES
        out.append((str(mode), "lib", mode, [], mode, None, one_thread))
        out.append((str(mode + 20), "lib", mode + 20, [], mode, str(mode), one_thread))
    if all_cases:
        # The formats a program reads, on the largest report, and the page
        # on mode 1: each against its plain report (see target_lines).
        for label, mode, form in (("8 csv", 8, "csv"), ("8 jsonl", 8, "jsonl"), ("1 html", 1, "html")):
            out.append((label, "lib", mode, ["--format", form], mode, None, False))
        out.append(("20 -f 20180701", "lib", 20, ["-f", "20180701"], 20, None, True))
        out.append(("0 zlib", "zlib", 0, [], 0, "0", False))
        out.append(("20 zlib", "zlib", 20, [], 20, "0", False))
        out.append(("20 -f 20180701 zlib", "zlib", 20, ["-f", "20180701"], 20, "20 -f 20180701", False))
    return out


SERIAL = re.compile(rb"serial CPU ms: (\d+)")


def timed(command, report_path, env=None, stats=False):
    """Wall, CPU (user + system), peak RSS and serial CPU of one run, and its stdout digest.

    GNU time starts the program and reports its peak: Linux carries a
    process's peak resident size across exec, so measured from here every run
    would start at this interpreter's size. The report goes to a file, as
    users run the program, and is hashed after the run: a reader hashing a
    pipe would compete with the program for the cores while it writes a large
    report. The program says on standard error how much processor time went
    to work only its main thread can do when asked (TALLYMERE_STATS); asking
    costs two clock readings per job run on the main thread, so the timed
    runs do not ask.
    """
    stats_path = report_path + ".time"
    with open(report_path, "wb") as report:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats_path, *command], stdout=report,
                              stderr=subprocess.PIPE, env={**os.environ, **({"TALLYMERE_STATS": "1"} if stats else {}), **(env or {})})
        wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} exited with {done.returncode}")
    with open(stats_path) as stats:
        user, system, peak_kb = stats.read().split()[-3:]
    os.remove(stats_path)
    digest = hashlib.sha256()
    with open(report_path, "rb") as report:
        for chunk in iter(lambda: report.read(1 << 20), b""):
            digest.update(chunk)
    os.remove(report_path)
    serial = SERIAL.search(done.stderr)
    cpu = float(user) + float(system)
    share = int(serial.group(1)) / 1000.0 / cpu if serial and cpu > 0 else None
    return wall, cpu, int(peak_kb) / 1024.0, digest.hexdigest(), share


def measure(command, runs, report_path, env=None, floor=None, same_every_run=True):
    """Medians of wall, CPU and the peak over the runs, the serial share of one more run, and the digest.

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
    # The serial share comes from a run of its own, which measures it.
    shared = timed(command, report_path, env, stats=True)
    digests = {s[3] for s in samples} | {shared[3]}
    if not same_every_run:
        digests = {"differs by run"}  # the HTML page says how long its run took
    if len(digests) != 1:
        sys.exit(f"{' '.join(command)} printed different reports across runs")
    shares = [shared[4]] if shared[4] is not None else []
    return {"wall": statistics.median(s[0] for s in samples), "cpu": statistics.median(s[1] for s in samples),
            "peak": max(s[2] for s in samples), "digest": digests.pop(),
            "ratio": statistics.median(ratios) if ratios else None,
            "serial": statistics.median(shares) if shares else None}


ONE_THREAD = {"TALLYMERE_THREADS": "0"}


def flatness(args, report_path):
    """Peak memory over two repositories of equal files, one ten times as many."""
    small, large = args.flat_repos
    lines = ["| mode | threads | peak MB, 100 files | peak MB, 1,000 files | change |", "|---|---|---|---|---|"]
    worst = 0.0
    for mode in (-1, 0, 20):
        for env, threads in ((None, "default"), (ONE_THREAD, "0")):
            peaks = [measure([args.program, "-m", str(mode), repo], 3, report_path, env)["peak"]
                     for repo in (small, large)]
            change = peaks[1] / peaks[0] - 1
            worst = max(worst, abs(change))
            lines.append(f"| {mode} | {threads} | {peaks[0]:.1f} | {peaks[1]:.1f} | {change * 100:+.1f} % |")
    return lines, worst


HEADER = ("mode", "wall s", "x floor", "CPU s", "CPU x floor", "serial %", "1 thread s", "1 thread x floor",
          "1 thread peak MB", "peak MB", "M events/s", "report vs", "same")


def run_shape(args, shape, repo, events, runs, all_cases, report_path):
    """The table of one repository shape, and each case's figures for the targets."""
    programs = {"lib": args.program, "zlib": args.zlib_program}
    rows, digests, failures, figures = [], {}, [], {}
    for label, key, mode, options, floor_mode, reference, one_thread in cases(all_cases):
        command = [programs[key], "-m", str(mode), *options, repo]
        floor = [args.floor, str(floor_mode), repo]
        run = measure(command, runs, report_path, floor=floor, same_every_run="html" not in options)
        digests[label] = run["digest"]
        same = "yes" if reference is None or digests[reference] == run["digest"] else "NO"
        # CPU time against the floor's wall time: the floor is one busy thread.
        cpu_ratio = run["cpu"] / run["wall"] * run["ratio"]
        one, alone = ("-", "-", "-"), None
        if key == "lib" and one_thread:
            alone = measure(command, runs, report_path, ONE_THREAD, floor)
            if alone["digest"] != run["digest"]:
                same = "NO"
            one = (f"{alone['wall']:.3f}", f"{alone['ratio']:.2f}", f"{alone['peak']:.0f}")
        if key == "lib":
            figures[label] = {**run, "one_ratio": alone["ratio"] if alone else None}
        if same == "NO":
            failures.append(f"{shape}: {label}")
        serial = "-" if run["serial"] is None else f"{run['serial'] * 100:.1f}"
        rows.append((label, f"{run['wall']:.3f}", f"{run['ratio']:.2f}", f"{run['cpu']:.3f}", f"{cpu_ratio:.2f}",
                     serial, *one, f"{run['peak']:.0f}", f"{events / run['wall'] / 1e6:.1f}", reference or "-", same))
    lines = [f"### {shape}: {events} events, {runs} runs per case (medians)", "",
             "| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return lines, failures, figures


def target_lines(shape, figures):
    """Each target of the issue at hand, as met or missed on this shape."""
    checks = []
    for label, run in figures.items():
        if not label.lstrip("-").isdigit():
            continue  # a windowed run: no target of its own
        mode = int(label)
        if mode == -1:
            checks.append((f"mode -1 x floor <= 0.05", run["ratio"], 0.05))
        elif mode >= 20:
            limit = 0.9 if mode in (28, 32) else 0.6
            checks.append((f"mode {mode} x floor <= {limit}", run["ratio"], limit))
        else:
            checks.append((f"mode {mode} x floor <= 0.85", run["ratio"], 0.85))
    for mode, limit in (("20", 1.15), ("0", 1.4)):
        if mode in figures:
            checks.append((f"mode {mode} one thread x floor <= {limit}", figures[mode]["one_ratio"], limit))
    for mode in ("20", "24", "0"):
        if mode in figures and figures[mode]["serial"] is not None:
            checks.append((f"mode {mode} serial share <= 5 %", figures[mode]["serial"], 0.05))
    # A format costs at most this much more than the plain report of its
    # mode, both measured against the floor.
    for label, plain, limit in (("8 csv", "8", 1.10), ("8 jsonl", "8", 1.30), ("1 html", "1", 1.10)):
        if label in figures and plain in figures:
            checks.append((f"mode {label} / plain <= {limit}", figures[label]["ratio"] / figures[plain]["ratio"], limit))
    if shape.startswith("1 file"):
        for mode, limit in (("20", 128), ("0", 160)):
            if mode in figures:
                checks.append((f"mode {mode} peak MB <= {limit}", figures[mode]["peak"], limit))
    lines = [f"Targets on {shape}:", ""]
    for what, value, limit in checks:
        lines.append(f"- {what}: {value:.3g} ({'met' if value <= limit else 'MISSED'})")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, required=True)
    for name in ("--program", "--zlib-program", "--floor", "--out"):
        parser.add_argument(name, required=True)
    # NAME=EVENTS=PATH: the first shape gets every case, the others the modes.
    parser.add_argument("--shape", action="append", required=True)
    parser.add_argument("--flat-repos", nargs=2, metavar=("SMALL", "LARGE"))
    args = parser.parse_args()

    text_lines = [f"{os.cpu_count()} cores. Each ratio is the median of (run / floor run just before it); the floor "
                  "is libdeflate inflating the same data on one thread. Serial %: processor time of the work only "
                  "the main thread can do, over the run's whole processor time.", ""]
    failures = []
    for index, shape_arg in enumerate(args.shape):
        shape, events, repo = shape_arg.split("=", 2)
        report_path = os.path.join(os.path.dirname(os.path.abspath(repo)), "report.tmp")
        lines, shape_failures, figures = run_shape(args, shape, repo, int(events), args.runs, index == 0,
                                                   report_path)
        failures += shape_failures
        print("\n".join(lines), flush=True)
        text_lines += lines + [""] + target_lines(shape, figures) + [""]
    if args.flat_repos:
        report_path = os.path.join(os.path.dirname(os.path.abspath(args.flat_repos[0])), "report.tmp")
        flat_lines, worst = flatness(args, report_path)
        text_lines += ["Peak memory as the file count grows (files of 20,000 events each):", ""] + flat_lines
        text_lines += ["", f"Largest change: {worst * 100:.1f} %"]
    text = "\n".join(text_lines) + "\n"
    print(text)
    with open(args.out, "w") as f:
        f.write("# Benchmark results\n\nProduced by `scripts/bench.sh`.\n\n" + text)
    if failures:
        sys.exit("reports differ: " + ", ".join(failures))


if __name__ == "__main__":
    main()
