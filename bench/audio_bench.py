"""Clip sound figures, in a private X server, Wine prefix and PulseAudio server:
  - CPU: the audio thread's CPU time over a 30 s clip with system sound and the
    microphone both live (the agent's "clip audio: thread ended" line, taken from
    GetThreadTimes), as a share of one core;
  - A/V offset at the end of a 30 s clip: at 27 s a white window appears over the
    recorded region and a 1 kHz burst starts on the speakers in the same instant;
    in the file the burst's first loud sample and the first bright frame are found
    with the Linux FFmpeg, and their difference is the offset (positive: sound late).
    python3 bench/audio_bench.py
Needs IVRA_BUILD for the build; starts its own display."""
import os
import re
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from ivra_e2e import (Agent, PulseAudio, Sandbox, linux_path, private_prefix, pulse_tone, remove_tree,  # noqa: E402
                      start_x, stop_process, wait_for, win_path)

REGION = (1200, 600, 320, 240)
RATE = 48000
FPS = 30
FLASH_AT = 27.0


def write_config(sb, clips):
    os.makedirs(sb.data, exist_ok=True)
    with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
        f.write("onboarded=1\r\nplay_sound=0\r\nwarn_free_mb=0\r\nstop_free_mb=0\r\nclip_fps=%d\r\n"
                "clip_audio_system=1\r\nclip_audio_mic=1\r\nreplay_enabled=0\r\nclips_dir=%s\r\n"
                % (FPS, win_path(clips)))


def bright_frame(path):
    """Index of the first frame whose mean luma is above 200 (the white window)."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-vf",
                        "signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-", "-f", "null", "-"],
                       capture_output=True, timeout=300, text=True)
    values = [float(v) for v in re.findall(r"YAVG=([0-9.]+)", r.stdout)]
    for i, v in enumerate(values):
        if v > 200:
            return i
    raise AssertionError("no bright frame in %s" % path)


def burst_onset(path, after):
    """Seconds of the first sample louder than 0.2 after `after` seconds."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-ac", "1", "-f", "f32le", "-"],
                       capture_output=True, timeout=300)
    pcm = struct.unpack("<%df" % (len(r.stdout) // 4), r.stdout)
    for i in range(int(after * RATE), len(pcm)):
        if abs(pcm[i]) > 0.2:
            return i / RATE
    raise AssertionError("no burst in %s" % path)


def main():
    saved = {k: os.environ.get(k) for k in ("WINEPREFIX", "DISPLAY")}
    xproc, prefix, sb, agent, pa, shown = None, None, None, None, None, None
    try:
        xproc, display = start_x(["Xvfb", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-ac"])
        prefix = private_prefix()
        os.environ.update({"WINEPREFIX": prefix, "DISPLAY": ":%d" % display})
        subprocess.run(["/usr/lib/wine/wineserver", "-p"], check=True)
        pa = PulseAudio().start()
        sb = Sandbox()
        clips = os.path.join(sb.root, "clips")
        os.makedirs(clips)
        write_config(sb, clips)
        white = os.path.join(sb.root, "white.png")
        subprocess.run(["convert", "-size", "%dx%d" % REGION[2:], "xc:white", white], check=True)
        # The white window waits off screen; moving it in is the flash.
        shown = subprocess.Popen(["display", "-geometry", "+3000+3000", white], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        wid = wait_for(lambda: subprocess.run(["xdotool", "search", "--name", "white"], capture_output=True,
                                              text=True).stdout.split(), 20, what="white window")[-1]
        agent = Agent(sb, env=dict(pa.env, IVRA_CLIP_SOFTWARE="1"))
        agent.start()
        # A quiet stream runs all along, so the burst starts without a stream start-up.
        feed = subprocess.Popen(["pacat", "--playback", "--raw", "--latency-msec=10", "--device=ivra_out",
                                 "--format=float32le", "--rate=%d" % RATE, "--channels=2"],
                                env=dict(os.environ, **pa.env), stdin=subprocess.PIPE)
        mic = pa.play_tone("ivra_mic", 440, 40, amplitude=0.05)
        burst = pulse_tone(1000, 0.2, 0.6)
        quiet = pulse_tone(0, 0.01)
        flash = threading.Event()
        done = threading.Event()

        def feeder():
            t0 = time.monotonic()
            n = 0
            while feed.poll() is None and n < 4000 and not done.is_set():
                if flash.is_set():
                    flash.clear()
                    feed.stdin.write(burst)
                    subprocess.run(["xdotool", "windowmove", wid, str(REGION[0]), str(REGION[1])])
                feed.stdin.write(quiet)
                feed.stdin.flush()
                n += 1
                delay = t0 + n * 0.01 - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        threading.Thread(target=feeder, daemon=True).start()
        result = {}
        rec = threading.Thread(target=lambda: result.update(r=sb.run(
            "ivrac", "clip", "start", "--region", ",".join(map(str, REGION)), "--seconds", "30", "--silent",
            "--mic", "--system", "--wait", "--json", timeout=200)), daemon=True)
        rec.start()
        first = wait_for(lambda: [ln for ln in sb.log_lines() if re.search(r"clip \d+ first frame", ln)], 60, what="first frame")[0]
        started = time.monotonic()
        print("clip started: %s" % first.split("] ", 1)[-1], flush=True)
        wait_for(lambda: time.monotonic() - started >= FLASH_AT, 60, interval=0.005, what="flash time")
        flash.set()
        rec.join(200)
        out = result["r"].stdout.decode(errors="replace")
        path = linux_path(re.search(r'"path":"([^"]+)"', out).group(1).replace("\\\\", "\\"))
        ended = [ln for ln in sb.log_lines() if "clip audio: thread ended" in ln][-1]
        m = re.search(r"after ([0-9.]+) s: .* cpu ([0-9.]+) ms", ended)
        secs, cpu = float(m.group(1)), float(m.group(2))
        print("audio thread CPU:   %.0f ms over %.1f s = %.2f %% of one core (goal < 1 %%)" % (cpu, secs,
                                                                                        100.0 * cpu / 1000 / secs))
        print("                    %s" % ended.split("] ", 1)[-1])
        video = bright_frame(path) / float(FPS)
        audio = burst_onset(path, video - 2.0)
        print("A/V offset at %.1f s: sound %+.0f ms against the picture (burst at %.3f s, flash frame at %.3f s; "
              "goal within 40 ms)" % (video, 1000 * (audio - video), audio, video))
        done.set()
        mic.stop()
        feed.kill()
    finally:
        for p in (shown,):
            if p is not None:
                stop_process(p)
        if agent is not None:
            agent.stop()
        if sb is not None:
            sb.cleanup()
        if pa is not None:
            pa.stop()
        if prefix:
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], capture_output=True)
            remove_tree(prefix)
        if xproc is not None:
            stop_process(xproc)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v


if __name__ == "__main__":
    main()
