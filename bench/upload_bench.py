"""Upload figures against the reference service on localhost, side by side in one run:
  - upload: a 50 MB still (random pixels, stored uncompressed, so cleaning keeps every
    byte) from `ivrac upload --wait` to the share link. The storage PUT's throughput as
    the service measured it, beside `curl -T` sending the same file to a storage target
    of the same service (also as the service measured it, and as curl did); and the
    whole transfer (the agent's "done in N ms": cleaning, hashing, previews, create,
    PUT, complete) as throughput. Target: agent PUT >= 80 % of curl;
  - hashing: SHA-256 through CNG in 1 MiB reads (bench/upload_bench.exe hash) beside
    `sha256sum` on the same 256 MB file, warm cache both. Target: >= 300 MB/s;
  - cleaning: a 40 MB JPEG (read + metadata_strip_jpeg, as a transfer does) beside
    CopyFileW of the same file (and the whole-file read alone, for where the time goes),
    and a 100 MB MP4 (metadata_strip_mp4) beside FFmpeg's own stream-copy remux with the
    same libraries (and the Linux ffmpeg -c copy for reference). Target: at most 1.2x.
    python3 bench/upload_bench.py [--runs N] [--keep DIR]
Needs IVRA_BUILD for the build and a Wine prefix (WINEPREFIX), as the e2e tests do.
Test media are made with Python and the Linux FFmpeg and kept in DIR (default
$IVRA_CACHE/bench-upload or /tmp/ivra-bench-upload) for the next run."""
import argparse
import hashlib
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from ivra_e2e import Agent, Sandbox, Service, exe, win_path, wine  # noqa: E402
from test_upload import CODE, NAME, STILL_LIMIT, png_noise  # noqa: E402

MB = 1048576.0


def sh(args, **kw):
    r = subprocess.run(args, capture_output=True, **kw)
    if r.returncode != 0:
        raise SystemExit("%s failed: %s" % (args[0], r.stderr.decode(errors="replace")[-500:]))
    return r.stdout


def tool(*args):
    r = wine([exe("upload_bench")] + [str(a) for a in args], timeout=1200)
    out = r.stdout.decode(errors="replace")
    if r.returncode != 0:
        raise SystemExit("upload_bench %s failed: %s %s" % (args[0], out, r.stderr.decode(errors="replace")[-500:]))
    return dict(f.split("=", 1) for f in out.split() if "=" in f)


def media(folder, runs):
    """The bench's input files, made once."""
    os.makedirs(folder, exist_ok=True)
    files = {}
    for i in range(runs):
        p = os.path.join(folder, "still50_%d.png" % i)
        if not os.path.exists(p):
            # 4096 x 4265 RGB, stored: 52.4 million bytes, just under the 50 MB limit.
            data = png_noise(4096, 4265)
            assert len(data) <= STILL_LIMIT
            with open(p, "wb") as f:
                f.write(data)
        files["still%d" % i] = p
    p = os.path.join(folder, "hash256.bin")
    if not os.path.exists(p):
        with open(p, "wb") as f:
            for _ in range(256):
                f.write(os.urandom(1 << 20))
    files["hash"] = p
    p = os.path.join(folder, "big40.jpg")
    if not os.path.exists(p):
        tmp = p + ".base.jpg"
        sh(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
            "nullsrc=s=5400x4050,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255'",
            "-frames:v", "1", "-pix_fmt", "yuvj444p", "-q:v", "1", tmp])
        sh(["exiftool", "-q", "-q", "-o", p, "-Make=BenchCam", "-Artist=Bench", "-Comment=bench", tmp])
        os.remove(tmp)
    files["jpeg"] = p
    p = os.path.join(folder, "big100.mp4")
    if not os.path.exists(p):
        # 30 s of 1080p30 H.264 with noise so the rate holds, and AAC: about 100 MB.
        sh(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30",
            "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "30", "-vf", "noise=alls=40:allf=t",
            "-c:v", "libx264", "-preset", "ultrafast", "-b:v", "26M", "-maxrate", "28M", "-bufsize", "20M",
            "-pix_fmt", "yuv420p", "-c:a", "aac", "-metadata", "title=Bench", p], timeout=1800)
    files["mp4"] = p
    return files


def upload_figures(files, runs):
    svc = Service().start()
    sb = Sandbox()
    agent = None
    try:
        env = {"IVRA_SERVER": svc.url}
        os.makedirs(sb.data, exist_ok=True)
        with open(os.path.join(sb.data, "config.ini"), "w", newline="") as f:
            f.write("onboarded=1\r\nupload_mode=manual\r\nupload_workers=1\r\n")
        svc.config(fixed_code=CODE)
        r = sb.run("ivrac", "account", "link", NAME, env=env, input_bytes=(CODE + "\n").encode())
        if r.returncode != 0:
            raise SystemExit("link failed: %r" % r.stderr)
        agent = Agent(sb, env=env)
        agent.start()
        agent_put, agent_done, curl_put, curl_own = [], [], [], []
        # curl's account is another one, so its items never meet the agent's content.
        token = svc.control("POST", "link", {"sl_name": "bench.curl"})["token"]
        for i in range(runs):
            # Another file each run: the service answers "ready" for content it already has.
            path = files["still%d" % i]
            size = os.path.getsize(path)
            before = sb.log_text()
            r = sb.run("ivrac", "upload", win_path(path), "--wait", env=env, timeout=600)
            link = re.sub(r"^pid=\d+\r?\n", "", r.stdout.decode()).strip()  # ivtool launch names the child first
            if r.returncode != 0 or not link.startswith(svc.url):
                raise SystemExit("upload failed: %r %r" % (r.stdout, r.stderr))
            puts = [p for p in svc.stats()["recent_puts"] if p["role"] == "original"]
            agent_put.append(size / MB / (puts[-1]["ms"] / 1000.0))
            m = re.findall(r"upload: #\d+ .* done in (\d+) ms", sb.log_text()[len(before):])
            if m:
                agent_done.append(size / MB / (int(m[-1]) / 1000.0))
            # curl -T of the same file to a storage target of the same service.
            svc.reset_stats()
            st, created = svc.call("POST", "/api/v1/uploads", {
                "kind": "still", "content_hash": hashlib.sha256(open(path, "rb").read()).hexdigest(),
                "captured_at": "2026-01-01T00:00:00Z",
                "files": [{"role": "original", "content_type": "image/png", "byte_size": size}]},
                headers={"Authorization": "Bearer " + token})
            if st != 200:
                raise SystemExit("create for curl failed: %s %r" % (st, created))
            url = created["uploads"][0]["url"]
            out = sh(["curl", "-s", "-S", "-o", "/dev/null", "-w", "%{time_total} %{http_code}", "-T", path,
                      "-H", "Content-Type: image/png", "-H", "Expect:", url]).decode().split()
            if out[1] != "200":
                raise SystemExit("curl PUT answered %s" % out[1])
            curl_own.append(size / MB / float(out[0]))
            curl_put.append(size / MB / (svc.stats()["recent_puts"][-1]["ms"] / 1000.0))
        return {"agent_put": statistics.median(agent_put), "curl_put": statistics.median(curl_put),
                "curl_own": statistics.median(curl_own),
                "agent_done": statistics.median(agent_done) if agent_done else None, "size": size}
    finally:
        if agent:
            agent.stop()
        sb.cleanup()
        svc.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--keep", default=os.path.join(os.environ.get("IVRA_CACHE", "/tmp"),
                                                   "bench-upload" if os.environ.get("IVRA_CACHE") else
                                                   "ivra-bench-upload"))
    ap.add_argument("--skip-upload", action="store_true")
    args = ap.parse_args()
    files = media(args.keep, max(1, args.runs))
    out = tempfile.mkdtemp(prefix="ivra-bench-")
    try:
        rows = []
        if not args.skip_upload:
            u = upload_figures(files, args.runs)
            ratio = u["agent_put"] / u["curl_put"]
            rows.append("upload  %.1f MB still: agent PUT %.1f MB/s, curl -T %.1f MB/s (service clock; curl's own %.1f"
                        " MB/s): %.0f %% (target >= 80 %%)" % (u["size"] / MB, u["agent_put"], u["curl_put"],
                                                               u["curl_own"], 100 * ratio))
            if u["agent_done"]:
                rows.append("        whole transfer (clean, hash, previews, create, PUT, complete): %.1f MB/s"
                            % u["agent_done"])
        # Hashing, warm cache on both sides.
        tool("hash", win_path(files["hash"]), 1)
        h = tool("hash", win_path(files["hash"]), args.runs)
        sh(["sha256sum", files["hash"]])
        t0 = time.monotonic()
        sha = sh(["sha256sum", files["hash"]]).split()[0].decode()
        sum_mb_s = os.path.getsize(files["hash"]) / MB / (time.monotonic() - t0)
        if sha != h["sha256"]:
            raise SystemExit("CNG and sha256sum disagree")
        rows.append("hash    256 MB: CNG %.0f MB/s (target >= 300), sha256sum %.0f MB/s"
                    % (float(h["mb_s"]), sum_mb_s))
        # Cleaning.
        j_copy = tool("copy", win_path(files["jpeg"]), win_path(os.path.join(out, "copy.jpg")), args.runs)
        j_clean = tool("clean-jpeg", win_path(files["jpeg"]), win_path(os.path.join(out, "clean.jpg")), args.runs)
        j_read = tool("read", win_path(files["jpeg"]), win_path(os.path.join(out, "read.jpg")), args.runs)
        rows.append("clean   %.1f MB JPEG: %.0f ms, file copy %.0f ms: %.2fx (target <= 1.2x); of which reading "
                    "the whole file into fresh memory %.0f ms" % (int(j_clean["bytes"]) / MB, float(j_clean["ms"]),
                                                                  float(j_copy["ms"]),
                                                                  float(j_clean["ms"]) / float(j_copy["ms"]),
                                                                  float(j_read["ms"])))
        m_remux = tool("remux", win_path(files["mp4"]), win_path(os.path.join(out, "remux.mp4")), args.runs)
        try:
            m_clean = tool("clean-mp4", win_path(files["mp4"]), win_path(os.path.join(out, "clean.mp4")), args.runs)
        except SystemExit as e:
            m_clean = None
            failure = " ".join(str(e).split())[:160]
        t0 = time.monotonic()
        sh(["ffmpeg", "-nostdin", "-v", "error", "-y", "-i", files["mp4"], "-map", "0", "-c", "copy",
            os.path.join(out, "linux.mp4")])
        linux_ms = (time.monotonic() - t0) * 1000
        if not m_clean:
            rows.append("clean   %.1f MB MP4: FAILED (%s); FFmpeg remux %.0f ms; Linux ffmpeg -c copy %.0f ms"
                        % (int(m_remux["bytes"]) / MB, failure, float(m_remux["ms"]), linux_ms))
        if m_clean:
            rows.append("clean   %.1f MB MP4: %.0f ms, FFmpeg remux %.0f ms: %.2fx (target <= 1.2x); Linux ffmpeg -c "
                        "copy %.0f ms" % (int(m_clean["bytes"]) / MB, float(m_clean["ms"]), float(m_remux["ms"]),
                                          float(m_clean["ms"]) / float(m_remux["ms"]), linux_ms))
        print("\n".join(rows))
    finally:
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    main()
