"""The Windows executable under wine against the Linux one (see scripts/bench.sh --windows).

Runs both programs on the same repository for a few modes, interleaved run by
run so that drift of the machine's speed falls on both alike, and prints the
median ratio of their wall times. Wine's own start-up (the time of a `-h` run
of the Windows executable, measured next to every Windows run) is taken off
the Windows time first. Both programs must print the same report, line ends
aside: the Windows one ends its lines with CR LF.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import time

MODES = (20, 24, 0, 8)
TARGET = 1.15


def run(command, report_path, env):
    """Wall time of one run, and the digest of its report with CR LF read as LF."""
    with open(report_path, "wb") as report:
        start = time.perf_counter()
        status = subprocess.run(command, stdout=report, stderr=subprocess.DEVNULL, env=env).returncode
        wall = time.perf_counter() - start
    if status != 0:
        sys.exit(f"{' '.join(command)} exited with {status}")
    digest = hashlib.sha256()
    with open(report_path, "rb") as report:
        # Reading whole lines, so no CR LF pair is split across two chunks.
        for line in report:
            digest.update(line.replace(b"\r\n", b"\n"))
    os.remove(report_path)
    return wall, digest.hexdigest()


def windows_path(path):
    """The path as the Windows program sees it: wine's drive Z: is the Linux root."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, required=True)
    parser.add_argument("--events", type=int, required=True)
    for name in ("--repo", "--linux-program", "--windows-program", "--wine", "--out"):
        parser.add_argument(name, required=True)
    parser.add_argument("--modes", type=int, nargs="+", default=list(MODES))
    args = parser.parse_args()
    report_path = os.path.join(os.path.dirname(os.path.abspath(args.repo)), "report-windows.tmp")
    env = dict(os.environ)
    linux = [args.linux_program]
    windows = [args.wine, args.windows_program]
    startup_command = windows + ["-h"]

    # One untimed round first: it brings the files into the page cache and
    # wine's libraries into memory for both.
    for mode in args.modes:
        run(linux + ["-m", str(mode), args.repo], report_path, env)
        run(windows + ["-m", str(mode), windows_path(args.repo)], report_path, env)

    rows, failures = [], []
    for mode in args.modes:
        linux_walls, whole_walls, startups, digests = [], [], [], set()
        for _ in range(args.runs):
            linux_wall, linux_digest = run(linux + ["-m", str(mode), args.repo], report_path, env)
            startups.append(run(startup_command, report_path, env)[0])
            windows_wall, windows_digest = run(windows + ["-m", str(mode), windows_path(args.repo)], report_path, env)
            linux_walls.append(linux_wall)
            whole_walls.append(windows_wall)
            digests.add((linux_digest, windows_digest))
        # Wine's start-up now and then takes a second where it usually takes
        # a tenth: the median of the mode's start-up runs is taken off each.
        startup = statistics.median(startups)
        windows_walls = [wall - startup for wall in whole_walls]
        ratios = [windows_wall / linux_wall for windows_wall, linux_wall in zip(windows_walls, linux_walls)]
        same = len(digests) == 1 and next(iter(digests))[0] == next(iter(digests))[1]
        ratio = statistics.median(ratios)
        if not same:
            failures.append(f"mode {mode}: reports differ")
        rows.append((str(mode), f"{statistics.median(linux_walls):.3f}", f"{statistics.median(windows_walls):.3f}",
                     f"{statistics.median(startups):.3f}", f"{ratio:.2f}", f"{min(ratios):.2f}",
                     f"{max(ratios):.2f}", "yes" if same else "NO"))

    header = ("mode", "Linux s", "Windows s (start-up off)", "wine start-up s", "Windows / Linux",
              "lowest", "highest", "same report")
    lines = [f"Windows executable under wine against the Linux build: {args.events} events, "
             f"{args.runs} runs per mode (medians), {os.cpu_count()} cores",
             "",
             "Each ratio is the median of (Windows run less wine's start-up, the median of the mode's "
             "start-up runs) / (Linux run before it); the target is at most " + f"{TARGET}.",
             "",
             "| " + " | ".join(header) + " |",
             "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    missed = [row[0] for row in rows if float(row[4]) > TARGET]
    lines += ["", "Target met in every mode." if not missed else "Target missed in mode " + ", ".join(missed) + "."]
    text = "\n".join(lines) + "\n"
    print(text)
    with open(args.out, "w") as f:
        f.write("# Windows benchmark results\n\nProduced by `scripts/bench.sh --windows`.\n\n" + text)
    if failures:
        sys.exit("; ".join(failures))


if __name__ == "__main__":
    main()
