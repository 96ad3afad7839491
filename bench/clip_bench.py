"""Clip and replay figures with the software path the tests use (IVRA_CLIP_SOFTWARE=1),
in a private 1920x1080 X server and Wine prefix, on a full-screen pattern that moves
on every frame (pattern_windows --animate 30), measured in one run:
  - recording: a 30 s clip of the monitor at 1080p30 and 20000 kbps: frames, dropped
    and repeated frames, late ticks, the encode queue's high-water mark (from the
    `clip` status, polled while recording) and the file checked with ffprobe;
  - encode cost: the agent's average milliseconds per frame of the encoder (send and
    drain with the file write, on the clips worker) beside FFmpeg's libopenh264 with
    the same settings encoding the same frames directly (bench/clip_bench.exe encode),
    once with the agent idle and once while it records;
  - start latency: the median of 10 starts, from the agent's line "clip N first frame
    X ms after the request" (request received on the capture thread to the first
    accepted frame);
  - replay memory: after 60 s of buffering, the ring's bytes (the agent's
    "replay: ring ..." line under IVRA_DEBUG_HOOKS) beside the process's private
    (resident anonymous) bytes, and the growth of both from 10 s to 32 s held.
    python3 bench/clip_bench.py
Needs IVRA_BUILD for the build; starts its own display."""
import os
import re
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import (Agent, Sandbox, WINE_RUN, exe, linux_path, private_prefix, probe_media,  # noqa: E402
                      read_pattern_windows, remove_tree, reply_fields, start_x, stop_pattern_windows, stop_process,
                      video_frames, wait_for, win_path, wine)

W, H, FPS, KBPS = 1920, 1080, 30, 20000


def write_config(sb, clips, replay):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write("onboarded=1\r\nplay_sound=0\r\nwarn_free_mb=0\r\nstop_free_mb=0\r\nclip_fps=%d\r\n"
                "clip_bitrate_kbps=%d\r\nclip_audio_system=0\r\nclip_audio_mic=0\r\nreplay_enabled=%d\r\n"
                "clips_dir=%s\r\n" % (FPS, KBPS, replay, win_path(clips)))


def status(agent):
    return reply_fields(agent.pipe("clip\n"))


def linux_memory(prefix):
    """Resident anonymous (private) and whole resident bytes of the agent's Linux process,
    found by its program name and this run's own Wine prefix (Wine reports no private
    bytes for another process)."""
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if b"ivrad.exe" not in f.read():
                    continue
            with open("/proc/%s/environ" % pid, "rb") as f:
                if ("WINEPREFIX=%s" % prefix).encode() not in f.read().split(b"\0"):
                    continue
            with open("/proc/%s/status" % pid) as f:
                kb = {ln.split(":")[0]: int(ln.split()[1]) for ln in f if ln.startswith(("RssAnon", "VmSwap", "VmRSS"))}
        except OSError:
            continue
        return (kb.get("RssAnon", 0) + kb.get("VmSwap", 0)) * 1024, kb.get("VmRSS", 0) * 1024
    raise RuntimeError("no ivrad.exe process of prefix %s" % prefix)


def reference_encode(frames=300):
    """libopenh264 called directly on the same frames: (convert, encode, total) ms per frame."""
    ref = wine([str(a) for a in (exe("clip_bench"), "encode", W, H, FPS, frames, KBPS)], timeout=600)
    m = re.search(rb"convert_ms=([\d.]+) encode_ms=([\d.]+) total_ms=([\d.]+)", ref.stdout)
    if not m:
        raise RuntimeError("reference encode failed: %r %r" % (ref.stdout, ref.stderr))
    return tuple(float(x) for x in m.groups())


def recording(agent, sb, seconds=30, beside=None):
    """A clip of the monitor, its counters watched while it runs; beside() runs once
    the clip records, and its result is returned too."""
    result = []
    t = threading.Thread(target=lambda: result.append(agent.pipe(
        "clip\top=start\ttarget=monitor\tmonitor=0\tseconds=%d\twait=1\n" % seconds, timeout_ms=300000)),
        daemon=True)
    t.start()
    wait_for(lambda: status(agent)["state"] == "recording", 30, what="recording")
    side = []
    if beside:
        bt = threading.Thread(target=lambda: side.append(beside()), daemon=True)
        bt.start()
    high, encode_ms, late = 0, 0.0, 0
    while t.is_alive():
        st = status(agent)
        if st["state"] == "recording":
            high = max(high, int(st["queue_high"]))
            encode_ms = float(st["encode_ms"])
            late = int(st["late"])
        t.join(0.5)
    if beside:
        bt.join(600)
    fin = reply_fields(result[0])
    if fin.get("saved") != "1":
        raise RuntimeError("the clip was not saved: %r" % fin)
    path = linux_path(fin["path"])
    v = [s for s in probe_media(path)["streams"] if s["codec_type"] == "video"][0]
    frames = len(video_frames(path))
    line = [ln for ln in sb.log_lines() if re.search(r"\] clip %s stopped: " % fin["session"], ln)]
    return {"frames": int(fin["frames"]), "decoded": frames, "rate": v["r_frame_rate"], "size": (v["width"], v["height"]),
            "dropped": int(fin["dropped"]), "repeated": int(fin["repeated"]), "late": late, "queue_high": high,
            "encode_ms": encode_ms, "seconds": float(fin["seconds"]), "bytes": int(fin["bytes"]),
            "stop_line": line[-1] if line else "", "beside": side[0] if side else None}


def start_latency(agent, sb, runs=10):
    got = []
    for _ in range(runs):
        rep = reply_fields(agent.pipe("clip\top=start\ttarget=monitor\tmonitor=0\n", timeout_ms=30000))
        rx = re.compile(r"\] clip %s first frame ([\d.]+) ms after the request" % rep["session"])

        def seen():
            for ln in sb.log_lines():
                m = rx.search(ln)
                if m:
                    return float(m.group(1))
            return None
        got.append(wait_for(seen, 30, what="first frame line"))
        agent.pipe("clip\top=cancel\twait=1\n", timeout_ms=60000)
    return got


def frames_committed(agent):
    """Bytes the clips frame pool holds committed (the agent's status reply), which grow
    with the frames in flight and are no part of the ring."""
    return int(reply_fields(agent.pipe("status\n"))["mem_clips"].split(",")[1])


def ring_lines(sb):
    """(ring bytes, seconds held) of every "replay: ring" line so far."""
    return [(int(m.group(1)), float(m.group(2))) for m in
            (re.search(r"replay: ring (\d+) bytes, ([\d.]+) s", ln) for ln in sb.log_lines()) if m]


def replay_memory(agent, sb, clips, prefix):
    before = linux_memory(prefix)
    write_config(sb, clips, 1)
    if agent.pipe("reload\n") != b"ok\n":
        raise RuntimeError("reload refused")
    wait_for(lambda: status(agent)["replay"] == "1", 30, what="replay start")
    began = time.monotonic()
    # From 10 s on the encoder and its buffers are warm and only the ring grows, to its
    # 32 s: memory is read right as the agent logs the ring, so both describe one moment.
    seen = len(ring_lines(sb))
    wait_for(lambda: [r for r in ring_lines(sb)[seen:] if r[1] >= 10.0], 60, interval=0.1, what="ring at 10 s")
    at10 = linux_memory(prefix)
    pool10 = frames_committed(agent)
    ring10 = [r for r in ring_lines(sb)[seen:] if r[1] >= 10.0][0]
    wait_for(lambda: time.monotonic() - began >= 60 and float(status(agent)["replay_buffered"]) >= 30.0, 120,
             interval=1.0, what="60 s of replay")
    seen = len(ring_lines(sb))
    wait_for(lambda: len(ring_lines(sb)) > seen, 30, interval=0.1, what="ring after 60 s")
    after = linux_memory(prefix)
    pool60 = frames_committed(agent)
    ring60 = ring_lines(sb)[-1]
    st = status(agent)
    # The packets of a 30 s save are the ring's last 30 of 32 s.
    save = reply_fields(agent.pipe("clip\top=replay_save\tseconds=30\twait=1\n", timeout_ms=120000))
    return {"before": before, "at10": at10, "after": after, "ring10": ring10, "ring60": ring60,
            "pool10": pool10, "pool60": pool60,
            "buffered": st["replay_buffered"], "save_bytes": int(save.get("bytes", 0)),
            "save_seconds": float(save.get("seconds", 0))}


def main():
    saved = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
    xproc, prefix, sb, agent, pat = None, None, None, None, None
    try:
        xproc, display = start_x(["Xvfb", "-screen", "0", "%dx%dx24" % (W, H), "-nolisten", "tcp", "-ac"])
        prefix = private_prefix()
        os.environ.update({"WINEPREFIX": prefix, "DISPLAY": ":%d" % display})
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
        sb = Sandbox()
        clips = os.path.join(sb.root, "clips")
        os.makedirs(clips)
        write_config(sb, clips, 0)
        pat = subprocess.Popen([WINE_RUN, exe("pattern_windows"), "--animate", str(FPS), "0,0,%d,%d,1" % (W, H)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        pat_pid, lines, _ = read_pattern_windows(pat)
        # The debug hooks only add the agent's "replay: ring" line every 10 s.
        agent = Agent(sb, env={"IVRA_CLIP_SOFTWARE": "1", "IVRA_DEBUG_HOOKS": "1"})
        agent.start()

        print("clip bench: %dx%d @ %d fps, %d kbps, software path, %s" % (
            W, H, FPS, KBPS, "animated pattern" if "ready" in lines else "NO PATTERN"), flush=True)
        rec = recording(agent, sb)
        print("recording 30 s:     %d frames (%d decoded, rate %s, %dx%d), %d dropped, %d repeated, %d late ticks, "
              "queue high-water %d, %.1f MB" % (rec["frames"], rec["decoded"], rec["rate"], rec["size"][0],
                                                rec["size"][1], rec["dropped"], rec["repeated"], rec["late"],
                                                rec["queue_high"], rec["bytes"] / 1e6))
        print("                    %s" % rec["stop_line"], flush=True)
        ref_convert, ref_encode, ref_total = reference_encode()
        # The agent's encode_ms is the encoder's send and drain (with the file write) per
        # frame; its swscale conversion is timed apart and not in the status reply.
        print("encode ms/frame:    agent %.2f (encode+write, beside its capture) | libopenh264 direct %.2f "
              "(conversion %.2f more), agent idle | ratio %.2f" % (
                  rec["encode_ms"], ref_encode, ref_convert, rec["encode_ms"] / ref_encode), flush=True)
        # The same comparison with both under the same load: the direct encode runs while a clip records.
        both = recording(agent, sb, seconds=20, beside=lambda: reference_encode(150))
        print("  both at once:     agent %.2f | libopenh264 direct %.2f (conversion %.2f more) | ratio %.2f; "
              "clip %d frames, %d dropped, queue high-water %d" % (
                  both["encode_ms"], both["beside"][1], both["beside"][0], both["encode_ms"] / both["beside"][1],
                  both["frames"], both["dropped"], both["queue_high"]), flush=True)
        lat = start_latency(agent, sb)
        print("start latency:      median %.1f ms of %d (min %.1f, max %.1f)" % (statistics.median(lat), len(lat),
                                                                               min(lat), max(lat)), flush=True)
        mem = replay_memory(agent, sb, clips, prefix)
        print("replay after 60 s:  ring %.1f MB for %.1f s held (%.1f Mbit/s); private (resident anonymous) %.1f MB "
              "with the replay off -> %.1f MB (+%.1f MB); resident %.1f MB -> %.1f MB" % (
                  mem["ring60"][0] / 1e6, mem["ring60"][1], mem["ring60"][0] * 8 / mem["ring60"][1] / 1e6,
                  mem["before"][0] / 1e6, mem["after"][0] / 1e6, (mem["after"][0] - mem["before"][0]) / 1e6,
                  mem["before"][1] / 1e6, mem["after"][1] / 1e6))
        dring = mem["ring60"][0] - mem["ring10"][0]
        dpriv = mem["after"][0] - mem["at10"][0]
        dpool = mem["pool60"] - mem["pool10"]
        print("                    from %.1f s to %.1f s held: ring +%.1f MB, private +%.1f MB of which the clips frame "
              "pool +%.1f MB; private without the pool / ring = %.2f" % (
                  mem["ring10"][1], mem["ring60"][1], dring / 1e6, dpriv / 1e6, dpool / 1e6,
                  (dpriv - dpool) / dring if dring else 0))
        print("                    a 30 s save: %.2f s, %.1f MB" % (mem["save_seconds"], mem["save_bytes"] / 1e6),
              flush=True)
        stop_pattern_windows(pat_pid, pat)
        pat = None
    finally:
        if agent is not None:
            agent.stop()
        if pat is not None:
            stop_process(pat)
        if sb is not None:
            sb.cleanup()
        if prefix:
            for arg in ("-k", "-w"):
                subprocess.run(["/usr/lib/wine/wineserver", arg], timeout=30)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v
        if xproc is not None:
            stop_process(xproc)
        if prefix:
            remove_tree(prefix)


if __name__ == "__main__":
    main()
