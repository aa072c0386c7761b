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


def timed(command, report_path):
    """Wall, CPU (user + system) and peak RSS of one run, and its stdout digest.

    The report goes to a file, as users run the program, and is hashed after
    the run: a reader hashing a pipe would compete with the program for the
    cores while it writes a large report.
    """
    with open(report_path, "wb") as report:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=report, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{' '.join(command)} exited with {os.waitstatus_to_exitcode(status)}")
    digest = hashlib.sha256()
    with open(report_path, "rb") as report:
        for chunk in iter(lambda: report.read(1 << 20), b""):
            digest.update(chunk)
    os.remove(report_path)
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, digest.hexdigest()


def measure(command, runs, report_path):
    samples = [timed(command, report_path) for _ in range(runs)]
    digests = {s[3] for s in samples}
    if len(digests) != 1:
        sys.exit(f"{' '.join(command)} printed different reports across runs")
    return (statistics.median(s[0] for s in samples), statistics.median(s[1] for s in samples),
            max(s[2] for s in samples), digests.pop())


def main():
    parser = argparse.ArgumentParser()
    for name in ("--runs", "--events"):
        parser.add_argument(name, type=int, required=True)
    for name in ("--repo", "--program", "--zlib-program", "--floor", "--out"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    programs = {"lib": args.program, "zlib": args.zlib_program}
    report_path = os.path.join(os.path.dirname(os.path.abspath(args.repo)), "report.tmp")

    floors = {}
    for mode in sorted({c[4] for c in cases()}):
        floors[mode] = measure([args.floor, str(mode), args.repo], args.runs, report_path)
    rows, digests, failures = [], {}, []
    for label, key, mode, options, floor_mode, reference in cases():
        wall, cpu, rss, digest = measure([programs[key], "-m", str(mode), *options, args.repo], args.runs,
                                         report_path)
        digests[label] = digest
        same = "yes" if reference is None or digests[reference] == digest else "NO"
        if same == "NO":
            failures.append(label)
        ratio = wall / floors[floor_mode][0]
        cpu_ratio = cpu / floors[floor_mode][0]
        rows.append((label, f"{wall:.3f}", f"{cpu:.3f}", f"{rss:.0f}",
                     f"{args.events / wall / 1e6:.1f}", f"{ratio:.2f}", f"{cpu_ratio:.2f}",
                     reference or "-", same))

    # The floor runs on one core; the program reads ahead on worker threads,
    # so its wall time is the ratio that counts and its CPU time shows the
    # work done on all cores together.
    header = ("mode", "wall s", "CPU s", "peak MB", "M events/s", "x floor", "CPU x floor", "report vs", "same")
    lines = [f"Benchmark: {args.events} events, {args.runs} runs per case (medians), "
             f"{os.cpu_count()} cores",
             "",
             "Floors (libdeflate, inflate only): " + ", ".join(
                 f"mode {m} {v[0]:.3f} s" for m, v in floors.items()),
             "",
             "| " + " | ".join(header) + " |",
             "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "w") as f:
        f.write("# Benchmark results\n\nProduced by `scripts/bench.sh`.\n\n" + text)
    if failures:
        sys.exit("reports differ: " + ", ".join(failures))


if __name__ == "__main__":
    main()
