#!/usr/bin/env python3
"""Start-up time and idle memory of the window next to a minimal Qt WebEngine window.

Each run starts the program under the current X display (run it inside xvfb-run), measures the
time from process start until it prints "ready" (the send button was enabled / the empty page
loaded), waits for it to settle, sums the PSS of the process and all its children
(the WebEngine helpers), and stops it. Runs alternate between the two programs and the medians
are reported with their ratio.

    xvfb-run -a -s "-screen 0 1280x800x24" bench/startup.py APP MINIMAL [RUNS]
"""
import os, statistics, subprocess, sys, tempfile, time


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
    app, minimal = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    home = tempfile.mkdtemp(prefix="kestrill-bench-")
    env = dict(os.environ, HOME=home, KESTRILL_REPORT_READY="1")
    results = {"kestrill": [], "minimal": []}
    measure([app], env)  # warm the disk cache for both
    measure([minimal], env)
    for _ in range(runs):
        results["kestrill"].append(measure([app], env))
        results["minimal"].append(measure([minimal], env))
    med = {k: (statistics.median(r for r, _ in v), statistics.median(m for _, m in v)) for k, v in results.items()}
    for k, (t, m) in med.items():
        print(f"{k:9s} ready {t * 1000:7.0f} ms   idle PSS {m / 1024:7.1f} MiB   (median of {runs})")
    print(f"ratio     time {med['kestrill'][0] / med['minimal'][0]:.2f}x   memory {med['kestrill'][1] / med['minimal'][1]:.2f}x")


if __name__ == "__main__":
    main()
