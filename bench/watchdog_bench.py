"""Idle cost of the hang watchdog: the CPU time of the agent's "ivra-watchdog" thread
(GetThreadTimes, beside the sum over all the agent's threads) over a quiet minute, as
a share of one core. The goal is under 0.1 %.
    python3 bench/watchdog_bench.py [SECONDS]        (default 60)
Needs IVRA_BUILD for the build; runs in the current Wine prefix and display."""
import os
import re
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import Agent, Sandbox, exe, wine  # noqa: E402


def sample(pid):
    r = wine([exe("watchdog_bench"), pid, "ivra-watchdog"])
    m = re.search(rb"thread_ms=([\d.]+) threads_ms=([\d.]+) process_ms=[\d.]+ wall_ms=(\d+)", r.stdout)
    if not m:
        raise RuntimeError("no sample: %r %r" % (r.stdout, r.stderr))
    return float(m.group(1)), float(m.group(2)), int(m.group(3))


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    sb = Sandbox()
    os.makedirs(sb.data)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write("onboarded=1\r\ndxgi_keep_warm=0\r\n")
    agent = Agent(sb)
    try:
        pid = agent.start()
        time.sleep(5)  # past the start-up's own work
        t0, p0, w0 = sample(pid)
        time.sleep(seconds)
        t1, p1, w1 = sample(pid)
        wall = w1 - w0
        rounds = len([ln for ln in sb.log_lines() if "HANG:" in ln])
        print("window %.1f s (the agent's clock), watchdog thread %.2f ms CPU = %.4f %% of one core "
              "(goal < 0.1 %%); all the agent's threads %.1f ms = %.3f %%; HANG lines %d"
              % (wall / 1000.0, t1 - t0, 100.0 * (t1 - t0) / wall, p1 - p0, 100.0 * (p1 - p0) / wall, rounds))
    finally:
        agent.stop()
        sb.cleanup()


if __name__ == "__main__":
    main()
