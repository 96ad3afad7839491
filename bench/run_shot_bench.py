"""Runs bench/shot_bench against a warm agent in a private sandbox and prints
its figures with the capture thread's own timing lines.
    python3 bench/run_shot_bench.py [RUNS] [--animate]
Needs DISPLAY and WINEPREFIX as for scripts/wine-run (IVRA_BUILD for the build)."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import Agent, Sandbox, win_path  # noqa: E402


def main():
    sb = Sandbox()
    try:
        os.makedirs(sb.data)
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            f.write("onboarded=1\r\nplay_sound=0\r\nstills_dir=%s\r\n" % win_path(os.path.join(sb.profile, "shots")))
        agent = Agent(sb)
        agent.start()
        r = sb.run("shot_bench", *sys.argv[1:], timeout=900)
        print(r.stdout.decode(errors="replace"))
        sys.stderr.write(r.stderr.decode(errors="replace")[-2000:])
        print("\n".join([l for l in sb.log_lines() if "queued in" in l][-5:]))
        agent.stop()
    finally:
        sb.cleanup()


if __name__ == "__main__":
    main()
