"""Shared harness of the end-to-end tests: runs Windows programs under the
project's Wine prefix, gives each test a private data folder, starts and stops
the agent by its process id, and waits for conditions with deadlines."""
import os
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

SOURCE = os.environ.get("IVRA_SOURCE") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("IVRA_BUILD") or os.path.join(SOURCE, "build")
WINE_RUN = os.path.join(SOURCE, "scripts", "wine-run")


def _adopt_slot():
    """Under the suite's resource allocation, takes the Wine prefix and display
    of the slot CTest gave this test, so concurrent tests never share an agent."""
    group = os.environ.get("CTEST_RESOURCE_GROUP_0_E2E")
    if not group:
        return
    fields = dict(kv.split(":", 1) for kv in group.split(",") if ":" in kv)
    slot = fields.get("id", "")
    prefix = os.environ.get("IVRA_SLOT_PREFIX_" + slot)
    display = os.environ.get("IVRA_SLOT_DISPLAY_" + slot)
    if prefix:
        os.environ["WINEPREFIX"] = prefix
    if display:
        os.environ["DISPLAY"] = display


_adopt_slot()


def exe(name):
    """Path of a built program: ivrad, ivrac, ivra, or a tool under tests/; a path to a file is kept."""
    if os.path.isabs(name) and os.path.isfile(name):
        return name
    for cand in (os.path.join(BUILD, name + ".exe"), os.path.join(BUILD, "tests", name + ".exe"),
                 os.path.join(BUILD, "bench", name + ".exe")):
        if os.path.exists(cand):
            return cand
    raise FileNotFoundError(name)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(args, timeout=60, env=None, input_bytes=None):
    """Runs a Windows program; returns CompletedProcess with bytes stdout/stderr."""
    e = dict(os.environ)
    if env:
        e.update(env)
    # Programs started from this one inherit its standard handles and may outlive it;
    # with pipes the read would wait for them, with files it ends when this one does.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        r = subprocess.run([WINE_RUN] + list(args), stdout=out, stderr=err, timeout=timeout, env=e,
                           input=input_bytes)
        out.seek(0)
        err.seek(0)
        r.stdout = out.read()
        r.stderr = err.read()
    return r


def wait_for(cond, timeout=10.0, interval=0.05, what="condition"):
    """Polls cond() until it returns something truthy; fails after the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def read_pattern_windows(proc, timeout=60):
    """Reads a pattern_windows process's output up to "ready" (or until it ends).
    Returns (pid, lines, windows): pid None when not printed, each window's
    key=value fields as a dict of strings."""
    lines, done = [], threading.Event()

    def reader():
        for raw in proc.stdout:
            lines.append(raw.decode().strip())
            if lines[-1] == "ready":
                break
        done.set()

    threading.Thread(target=reader, daemon=True).start()
    wait_for(done.is_set, timeout, what="pattern windows")
    pid, wins = None, []
    for ln in lines:
        if ln.startswith("pid="):
            pid = int(ln[4:])
        elif ln.startswith("window "):
            wins.append(dict(kv.split("=", 1) for kv in ln.split()[2:]))
    return pid, lines, wins


def ivtool(*args, timeout=30, env=None):
    return wine([exe("ivtool")] + [str(a) for a in args], timeout=timeout, env=env)


def pid_alive(pid):
    return ivtool("alive", pid).returncode == 0


def close_settings_windows(limit=5):
    """Ends the settings programs the agent started on its own (first start, second launch)."""
    for _ in range(limit):
        r = ivtool("window-pid", "IvraSettingsWnd")
        if r.returncode != 0:
            return
        ivtool("kill", int(r.stdout.split()[0]))


class Sandbox:
    """A private APPDATA, profile and temp folder for one test."""

    def __init__(self, user="tester"):
        self.root = tempfile.mkdtemp(prefix="ivra-e2e-")
        self.appdata = os.path.join(self.root, "appdata")
        self.profile = os.path.join(self.root, "profile")
        self.temp = os.path.join(self.root, "temp")
        for d in (self.appdata, self.profile, self.temp):
            os.makedirs(d)
        self.user = user
        self.data = os.path.join(self.appdata, "Ivra")
        self.procs = []

    def env_args(self):
        return ["--env", "APPDATA=" + win_path(self.appdata), "--env", "USERPROFILE=" + win_path(self.profile),
                "--env", "USERNAME=" + self.user, "--env", "TEMP=" + win_path(self.temp),
                "--env", "TMP=" + win_path(self.temp)]

    def run(self, program, *args, timeout=60, env=None, input_bytes=None):
        """Runs a program inside the sandbox's environment and waits for it."""
        return wine([exe("ivtool"), "launch"] + self.env_args() + ["--", exe(program)] + [str(a) for a in args],
                    timeout=timeout, env=env, input_bytes=input_bytes)

    def start(self, program, *args, env=None):
        """Starts a program without waiting; returns its Windows process id."""
        r = wine([exe("ivtool"), "launch", "--nowait"] + self.env_args() + ["--", exe(program)] +
                 [str(a) for a in args], env=env)
        out = r.stdout.decode(errors="replace")
        # The started program shares the launcher's output, so its own lines may
        # be mixed in: take the launcher's "pid=" line wherever it stands.
        m = re.search(r"^pid=(\d+)\s*$", out, re.M)
        if not m:
            raise AssertionError("cannot start %s: %r %r" % (program, out, r.stderr))
        pid = int(m.group(1))
        self.procs.append(pid)
        return pid

    def log_text(self):
        try:
            with open(os.path.join(self.data, "ivrad.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        return self.log_text().splitlines()

    def cleanup(self):
        for pid in self.procs:
            if pid_alive(pid):
                ivtool("kill", pid)
        self.procs = []
        close_settings_windows()
        shutil.rmtree(self.root, ignore_errors=True)


class Agent:
    """One ivrad.exe inside a sandbox."""

    def __init__(self, sandbox, env=None):
        self.sb = sandbox
        self.env = env
        self.pid = None

    def start(self, *args, ready_line="ivrad started in", timeout=30):
        self.pid = self.sb.start("ivrad", *args, env=self.env)
        wait_for(lambda: ready_line in self.sb.log_text(), timeout, what="agent start")
        wait_for(lambda: self.pipe("ping\n", timeout_ms=2000) == b"ok\n", timeout, what="pipe ready")
        return self.pid

    def pipe(self, request, timeout_ms=10000):
        """Sends exactly the given request text (include the line feed) and returns the reply bytes."""
        esc = request.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")
        r = ivtool("pipe-send", esc, timeout_ms, timeout=timeout_ms / 1000 + 30)
        # ivtool's stdout is in text mode, which turns every line feed into CR LF;
        # replies never hold a CR of their own.
        return r.stdout.replace(b"\r\n", b"\n")

    def stop(self, timeout=30):
        if self.pid is None:
            return
        ivtool("wm-close", "IvraAgentWnd")
        try:
            wait_for(lambda: not pid_alive(self.pid), timeout, interval=0.2, what="agent exit")
        finally:
            if pid_alive(self.pid):
                ivtool("kill", self.pid)
            self.pid = None


class AgentTestCase(unittest.TestCase):
    """Gives each test a sandbox and stops whatever it started."""

    def setUp(self):
        self.sb = Sandbox()

    def tearDown(self):
        self.sb.cleanup()


def decode_image(path, pixels=()):
    """Decodes a PNG or JPEG (a Linux path) with the project's FFmpeg build.
    Returns a dict with width, height, pix_fmt, hash (of the BGRA rows) and
    pixels {(x, y): (b, g, r, a)} for the asked points; None when it does not decode."""
    args = [exe("decode_image"), win_path(path)]
    for x, y in pixels:
        args += ["--pixel", str(x), str(y)]
    r = wine(args)
    if r.returncode != 0:
        return None
    out = {"pixels": {}}
    for line in r.stdout.decode("utf-8", "replace").splitlines():
        fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
        if "pixel" in fields:
            x, y = (int(v) for v in fields["pixel"].split(","))
            out["pixels"][(x, y)] = tuple(int(fields[c]) for c in "bgra")
        elif "width" in fields:
            out.update(width=int(fields["width"]), height=int(fields["height"]),
                       pix_fmt=fields["pix_fmt"], hash=fields["hash"])
    return out


class SharedAgentTestCase(unittest.TestCase):
    """One agent, started once, serves every test of the class. A subclass may
    override prepare(sb) to write files into the sandbox before the start."""

    agent_env = None

    @classmethod
    def prepare(cls, sb):
        pass

    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox()
        try:
            cls.prepare(cls.sb)
            cls.agent = Agent(cls.sb, env=cls.agent_env)
            cls.agent.start()
        except Exception:
            cls.sb.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.agent.stop()
        finally:
            cls.sb.cleanup()


def main():
    unittest.main(verbosity=2)
