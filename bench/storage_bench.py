"""Storage scan rate, in a private X server and Wine prefix: 20,000 capture files
spread over the nine folder slots (a few subfolders each), scanned by
  - `ivrac storage --json` with the agent down (the local scan; its own scan_ms),
  - the agent's storage thread (`storage refresh=1`; its scan_ms),
  - `find <slots> -type f -printf '%s\\n'` summed in Python (wall time of the process),
each five times in the same run, warm caches; medians side by side and the totals,
which must agree.
    python3 bench/storage_bench.py [files]
Needs IVRA_BUILD for the build; starts its own display."""
import json
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import Agent, Sandbox, private_prefix, remove_tree, start_x, stop_process, win_path  # noqa: E402

EXTS = ("png", "jpg", "mp4", "webp", "txt")
ROUNDS = 5


def make_tree(root, files):
    slots = []
    for s in range(1, 10):
        slot = os.path.join(root, "slot%d" % s)
        for sub in range(4):
            os.makedirs(os.path.join(slot, "sub%d" % sub, "deeper"))
        slots.append(slot)
    for i in range(files):
        slot = slots[i % 9]
        folder = os.path.join(slot, "sub%d" % (i // 9 % 4), "deeper" if i % 3 == 0 else "")
        with open(os.path.join(folder, "Ivra_%06d.%s" % (i, EXTS[i % len(EXTS)])), "wb") as f:
            f.write(b"\0" * (100 + i % 4000))
    return slots


def find_sum(slots):
    t0 = time.perf_counter()
    out = subprocess.run(["find"] + slots + ["-type", "f", "-printf", "%s\n"], capture_output=True, check=True).stdout
    ms = (time.perf_counter() - t0) * 1000
    sizes = out.split()
    return ms, sum(int(s) for s in sizes), len(sizes)


def main():
    files = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    saved = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
    xproc, prefix, sb, agent = None, None, None, None
    try:
        xproc, display = start_x(["Xvfb", "-screen", "0", "1280x720x24", "-nolisten", "tcp", "-ac"])
        prefix = private_prefix()
        os.environ.update({"WINEPREFIX": prefix, "DISPLAY": ":%d" % display})
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
        sb = Sandbox()
        slots = make_tree(os.path.join(sb.root, "tree"), files)
        os.makedirs(sb.data)
        empty = os.path.join(sb.root, "empty")
        os.makedirs(empty)
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            f.write("onboarded=1\r\nplay_sound=0\r\nreplay_enabled=0\r\nstills_dir=%s\r\nclips_dir=%s\r\n"
                    % (win_path(empty), win_path(empty)))
            for i, slot in enumerate(slots):
                f.write("folder%d=%s\r\n" % (i + 1, win_path(slot)))

        # Each scan is paired with a find run right after it, so both see the same machine load.
        local, agent_ms, find_local, find_agent = [], [], [], []
        totals = {}
        for _ in range(ROUNDS):
            r = sb.run("ivrac", "storage", "--json", "-q", timeout=300)
            # The launcher prints the child's pid first.
            obj = json.loads(re.sub(rb"^pid=\d+\r?\n", b"", r.stdout).decode())
            local.append(obj["scan_ms"])
            totals["ivrac"] = (obj["ivra"], obj["stills"]["files"] + obj["clips"]["files"] + obj["other"]["files"])
            ms, total, count = find_sum(slots)
            find_local.append(ms)
            totals["find"] = (total, count)
        agent = Agent(sb)
        agent.start()
        for _ in range(ROUNDS):
            reply = agent.pipe("storage\trefresh=1\n", 30000).decode()
            fields = dict(f.split("=", 1) for f in reply.strip().split("\t")[1:])
            agent_ms.append(int(fields["scan_ms"]))
            totals["agent"] = (int(fields["ivra"]),
                               sum(int(fields[k]) for k in ("stills_n", "clips_n", "other_n")))
            find_agent.append(find_sum(slots)[0])

        med = statistics.median
        print("scan of %d files in 9 folder slots, %d rounds, medians (all rounds), warm caches:" % (files, ROUNDS))
        print("  ivrac storage (local scan)  %7.1f ms  %s" % (med(local), local))
        print("  find beside it              %7.1f ms  %s" % (med(find_local), ["%.1f" % v for v in find_local]))
        print("  agent storage thread        %7.1f ms  %s" % (med(agent_ms), agent_ms))
        print("  find beside it              %7.1f ms  %s" % (med(find_agent), ["%.1f" % v for v in find_agent]))
        print("  ratio local/find %.2fx, agent/find %.2fx (medians of the paired ratios; goal within 2x)"
              % (med([a / b for a, b in zip(local, find_local)]), med([a / b for a, b in zip(agent_ms, find_agent)])))
        print("  totals (bytes, files): %s" % totals)
        if len(set(totals.values())) != 1:
            print("  TOTALS DIFFER")
            return 1
        return 0
    finally:
        if agent is not None:
            agent.stop()
        if sb is not None:
            sb.cleanup()
        if prefix is not None:
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix))
            subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=dict(os.environ, WINEPREFIX=prefix))
            remove_tree(prefix)
        if xproc is not None:
            stop_process(xproc)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


if __name__ == "__main__":
    sys.exit(main())
