"""Region overlay speed on a 1920x1080 and a 3840x2160 display, each in a private X
server and Wine prefix with a warm agent:
  - per look (live, frozen): from the pick request to the overlay's first paint on
    screen, seen from outside by polling a screen pixel (bench/overlay_bench.exe),
    beside the agent's own init and first-paint figures from its log;
  - a plain GDI grab of the whole virtual screen, in the same run;
  - at 3840x2160 in the live look, a scripted 2 s drag and the "avg update" of the
    overlay's closing log line.
    python3 bench/overlay_bench.py [RUNS]        (default 3 requests per look and size)
Needs IVRA_BUILD for the build; starts its own displays."""
import os
import re
import statistics
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import (Agent, Sandbox, WINE_RUN, exe, ivtool, pid_alive, private_prefix, read_pattern_windows,  # noqa: E402
                      remove_tree, start_x, stop_process, wait_for, win_path, wine)

PROBE = (200, 200)  # inside the pattern window, so both looks change it
PICK = "shot\\ttarget=pick\\n"


def write_config(sb, freeze):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write("onboarded=1\r\nplay_sound=0\r\nwarn_free_mb=0\r\nstop_free_mb=0\r\nregion_freeze=%d\r\n"
                "stills_dir=%s\r\n" % (freeze, win_path(os.path.join(sb.profile, "shots"))))


def first_paint(close=True):
    args = [exe("overlay_bench"), "first-paint", PROBE[0], PROBE[1], PICK] + (["--close"] if close else [])
    r = wine([str(a) for a in args], timeout=120)
    out = r.stdout.decode(errors="replace")
    m = re.search(r"paint_ms=(-?[\d.]+) visible_ms=(-?[\d.]+)", out)
    if not m:
        raise RuntimeError("first-paint failed: %r %r" % (out, r.stderr))
    return float(m.group(1)), float(m.group(2)), out


def agent_figures(text, live):
    """The agent's own figures of the last selection in a log excerpt."""
    if live:
        shown = re.findall(r"overlay\(live\): shown, first paint (\d+) ms", text)
        init = re.findall(r"overlay\(live\): init (\d+) ms, avg update ([\d.]+) ms, paints (\d+)", text)
        return {"first_paint": int(shown[-1]) if shown else None, "init": int(init[-1][0]) if init else None,
                "avg_update": float(init[-1][1]) if init else None, "paints": int(init[-1][2]) if init else None}
    dim = re.findall(r"overlay: dim (\d+) ms, dib (\d+) ms, first paint (\d+) ms", text)
    return {"dim": int(dim[-1][0]) if dim else None, "dib": int(dim[-1][1]) if dim else None,
            "first_paint": int(dim[-1][2]) if dim else None}


def scripted_drag(w, h, seconds=2.0, step_ms=16):
    """Presses at a quarter of the screen, moves for `seconds` in steps of step_ms toward
    three quarters, then cancels with a right click (nothing to save)."""
    x0, y0, x1, y1 = w // 4, h // 4, w * 3 // 4, h * 3 // 4
    steps = int(seconds * 1000 / step_ms)
    args = ["mousemove", "--sync", str(x0), str(y0), "mousedown", "1"]
    for i in range(1, steps + 1):
        args += ["mousemove", str(x0 + (x1 - x0) * i // steps), str(y0 + (y1 - y0) * i // steps),
                 "sleep", "%.3f" % (step_ms / 1000.0)]
    args += ["click", "3", "mouseup", "1"]
    subprocess.run(["xdotool"] + args, check=True, timeout=60)


def bench_display(w, h, runs, results):
    saved = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
    xproc, prefix, sb, agent, pat = None, None, None, None, None
    try:
        xproc, display = start_x(["Xvfb", "-screen", "0", "%dx%dx24" % (w, h), "-nolisten", "tcp", "-ac"])
        prefix = private_prefix()
        os.environ.update({"WINEPREFIX": prefix, "DISPLAY": ":%d" % display})
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
        sb = Sandbox()
        write_config(sb, 0)
        agent = Agent(sb)
        agent.start()
        pat = subprocess.Popen([WINE_RUN, exe("pattern_windows"), "--backdrop", "100,100,400,300,1"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        pat_pid, lines, _ = read_pattern_windows(pat)
        gdi = wine([exe("overlay_bench"), "gdi-grab", "7"]).stdout.decode()
        results[(w, h, "gdi")] = float(re.search(r"gdi_median_ms=([\d.]+)", gdi).group(1))
        for look, freeze in (("live", 0), ("frozen", 1)):
            write_config(sb, freeze)
            agent.pipe("reload\n")
            rows = []
            for _ in range(runs):
                mark = len(sb.log_text())
                paint, visible, _ = first_paint()
                # The closing line comes when the overlay thread ends.
                wait_for(lambda: "pick cancelled" in sb.log_text()[mark:], 20, what="pick answered")
                if freeze == 0:
                    wait_for(lambda: "overlay(live): init" in sb.log_text()[mark:], 20, what="live closing line")
                rows.append((paint, visible, agent_figures(sb.log_text()[mark:], freeze == 0)))
            results[(w, h, look)] = rows
        if (w, h) == (3840, 2160):
            write_config(sb, 0)
            agent.pipe("reload\n")
            mark = len(sb.log_text())
            out = []
            t = threading.Thread(target=lambda: out.append(first_paint(close=False)))
            t.start()
            wait_for(lambda: wine([exe("overlay_probe"), "shown", "3000"]).returncode == 0, 30, interval=0,
                     what="overlay shown")
            scripted_drag(w, h)
            t.join(60)
            wait_for(lambda: "overlay(live): init" in sb.log_text()[mark:], 20, what="live closing line")
            results[(w, h, "drag")] = agent_figures(sb.log_text()[mark:], True)
            results[(w, h, "drag_line")] = [ln for ln in sb.log_text()[mark:].splitlines()
                                            if "overlay(live): init" in ln][-1]
        if pid_alive(pat_pid):
            ivtool("kill", pat_pid)
    finally:
        if pat is not None:
            try:
                pat.wait(timeout=30)
            except subprocess.TimeoutExpired:
                pat.kill()
            pat.stdout.close()
        if agent is not None and agent.pid is not None:
            agent.stop()
        if sb is not None:
            sb.cleanup()
        if prefix:
            for arg in ("-k", "-w"):
                subprocess.run(["/usr/lib/wine/wineserver", arg], timeout=30)
        if xproc is not None:
            stop_process(xproc)
        if prefix:
            remove_tree(prefix)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


def fmt(v):
    return "-" if v is None else ("%.1f" % v if isinstance(v, float) else str(v))


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    results = {}
    for w, h in ((1920, 1080), (3840, 2160)):
        bench_display(w, h, runs, results)
    print("\nregion overlay: request -> first paint on screen (median of %d; ms)" % runs)
    print("%-10s %-7s %10s %10s %12s %10s %10s   %s" % ("display", "look", "on screen", "visible", "agent paint",
                                                         "agent init", "gdi grab", "target"))
    for w, h in ((1920, 1080), (3840, 2160)):
        gdi = results[(w, h, "gdi")]
        for look in ("live", "frozen"):
            rows = results[(w, h, look)]
            paint = statistics.median(r[0] for r in rows)
            visible = statistics.median(r[1] for r in rows)
            agent_paint = [r[2]["first_paint"] for r in rows if r[2]["first_paint"] is not None]
            init = [r[2].get("init") for r in rows if r[2].get("init") is not None]
            if look == "live":
                target = "<= 100 ms at 3840x2160 (2-20 s reported for a widely used open-source tool at 4K)"
            else:
                target = "<= gdi grab + 100 = %.0f ms" % (gdi + 100)
            print("%-10s %-7s %10.1f %10.1f %12s %10s %10.1f   %s" % (
                "%dx%d" % (w, h), look, paint, visible, fmt(statistics.median(agent_paint) if agent_paint else None),
                fmt(statistics.median(init) if init else None), gdi, target))
        for look in ("frozen",):
            for r in results[(w, h, look)]:
                print("  %dx%d frozen: dim %s ms, dib %s ms" % (w, h, fmt(r[2]["dim"]), fmt(r[2]["dib"])))
    drag = results.get((3840, 2160, "drag"))
    if drag:
        print("\nlive drag at 3840x2160 for 2 s: avg update %s ms over %s paints (target < 8 ms)" % (
            fmt(drag["avg_update"]), fmt(drag["paints"])))
        print("  " + results[(3840, 2160, "drag_line")])


if __name__ == "__main__":
    main()
