#!/usr/bin/env python3
"""Start-up time and idle memory of the window next to a minimal Qt WebEngine window.

Each run starts the program under the current X display (run it inside xvfb-run), measures the
time from process start until it prints "ready" (the send button was enabled / the empty page
loaded), waits for it to settle, sums the PSS of the process and all its children
(the WebEngine helpers), and stops it. Runs alternate between the programs and the medians
are reported with their ratios to the minimal window. --also NAME=PATH adds another build of the
program to the same run (an earlier one, to compare a change under the same load).

    xvfb-run -a -s "-screen 0 1280x800x24" bench/startup.py APP MINIMAL [RUNS] [--also NAME=PATH]
"""
import argparse, os, statistics, subprocess, sys, tempfile, time


def tree(pid):
    out, todo = [], [pid]
    while todo:
        p = todo.pop()
        out.append(p)
        try:
            with open(f"/proc/{p}/task/{p}/children") as f:
                todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return out


def pss_kib(pids):
    total = 0
    for p in pids:
        try:
            with open(f"/proc/{p}/smaps_rollup") as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def measure(cmd, env, settle=3.0):
    start = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, text=True)
    line = proc.stdout.readline()
    ready = time.monotonic() - start
    if line.strip() != "ready":
        proc.kill()
        raise SystemExit(f"{cmd[0]} did not report ready: {line!r}")
    time.sleep(settle)
    mem = pss_kib(tree(proc.pid))
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
    return ready, mem


def main():
    parser = argparse.ArgumentParser(description="start-up time and idle memory")
    parser.add_argument("app")
    parser.add_argument("minimal")
    parser.add_argument("runs", nargs="?", type=int, default=5)
    parser.add_argument("--also", action="append", default=[], metavar="NAME=PATH")
    args = parser.parse_args()
    programs = {"kestrill": args.app}
    for item in args.also:
        name, _, path = item.partition("=")
        programs[name] = path
    programs["minimal"] = args.minimal
    home = tempfile.mkdtemp(prefix="kestrill-bench-")
    env = dict(os.environ, HOME=home, KESTRILL_REPORT_READY="1")
    results = {k: [] for k in programs}
    for path in programs.values():  # warm the disk cache for all
        measure([path], env)
    for _ in range(args.runs):
        for name, path in programs.items():
            results[name].append(measure([path], env))
    med = {k: (statistics.median(r for r, _ in v), statistics.median(m for _, m in v)) for k, v in results.items()}
    for k, (t, m) in med.items():
        print(f"{k:9s} ready {t * 1000:7.0f} ms   idle PSS {m / 1024:7.1f} MiB   (median of {args.runs})")
    base_t, base_m = med["minimal"]
    for k, (t, m) in med.items():
        if k != "minimal":
            print(f"ratio     {k:9s} time {t / base_t:.2f}x   memory {m / base_m:.2f}x")


if __name__ == "__main__":
    main()
