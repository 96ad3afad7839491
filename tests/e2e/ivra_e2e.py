"""Shared harness of the end-to-end tests: runs Windows programs under the
project's Wine prefix, gives each test a private data folder, starts and stops
the agent by its process id, and waits for conditions with deadlines."""
import atexit
import os
import re
import select
import shutil
import subprocess
import tempfile
import sys
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
if os.environ.get("IVRA_RUN_DIR"):
    # Sandboxes go into the suite's run folder, which goes away with the run
    # even when a test is killed before its clean-up.
    tempfile.tempdir = os.path.join(os.environ["IVRA_RUN_DIR"], "tmp")


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
    """Runs a Windows program; returns CompletedProcess with bytes stdout/stderr.
    Our own programs and ivtool's commands go through a running "ivtool serve" when they
    can (see _tool_loop_run), which spares a Wine process start each.
    On a loaded machine Wine now and then fails to start a program at all: exit 1 and not
    a byte of output. Every program of ours that exits 1 says why on standard error, so
    such a run is tried again, twice at most."""
    e = dict(os.environ)
    if env:
        e.update(env)
    for _ in range(3):
        r = _tool_loop_run(args, timeout, env) if input_bytes is None else None
        if r is None:
            # Programs started from this one inherit its standard handles and may outlive it;
            # with pipes the read would wait for them, with files it ends when this one does.
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                r = subprocess.run([WINE_RUN] + list(args), stdout=out, stderr=err, timeout=timeout, env=e,
                                   input=input_bytes)
                out.seek(0)
                err.seek(0)
                r.stdout = out.read()
                r.stderr = err.read()
        if r.returncode != 1 or r.stdout or r.stderr:
            break
        print("%s exited 1 without output; trying again" % os.path.basename(str(args[0])), file=sys.stderr)
    return r


# Deadlines of condition waits are written for an idle machine; the suite runs several
# Wine programs at once on two cores, where anything may take a few times as long. A wait
# ends as soon as its condition holds, so the longer deadline costs nothing when all is well.
PATIENCE = float(os.environ.get("IVRA_TEST_PATIENCE", "3"))


def wait_for(cond, timeout=10.0, interval=0.05, what="condition"):
    """Polls cond() until it returns something truthy; fails after the deadline (timeout
    seconds, times PATIENCE)."""
    limit = timeout * PATIENCE
    deadline = time.monotonic() + limit
    while True:
        v = cond()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise AssertionError("timed out after %.1f s waiting for %s" % (limit, what))
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


def stop_pattern_windows(pid, proc):
    """Ends a pattern_windows process started with a stdout pipe (pid as it printed it)."""
    if pid and pid_alive(pid):
        ivtool("kill", pid)
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=30)
    proc.stdout.close()


def start_x(argv, env=None):
    """Starts an X server (argv without a display number); the server picks a free
    number itself, so concurrent runs never race for one. Returns (Popen, number).
    The pid is recorded in the suite's run folder so a killed run's servers end."""
    rfd, wfd = os.pipe()
    try:
        proc = subprocess.Popen([argv[0], "-displayfd", str(wfd)] + list(argv[1:]), env=env, pass_fds=(wfd,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    finally:
        os.close(wfd)
    run = os.environ.get("IVRA_RUN_DIR")
    if run:
        with open(os.path.join(run, "xpids"), "a") as f:
            f.write("%d\n" % proc.pid)
    got = []

    def reader():
        with os.fdopen(rfd, "rb") as f:
            got.append(f.readline())

    threading.Thread(target=reader, daemon=True).start()
    try:
        wait_for(lambda: got or proc.poll() is not None, 30, interval=0.05, what=argv[0] + " display number")
        if not (got and got[0].strip().isdigit()):
            raise AssertionError("%s did not start (exit %r)" % (argv[0], proc.poll()))
    except BaseException:
        stop_process(proc)
        raise
    return proc, int(got[0])


def stop_process(proc, timeout=10):
    """Ends a Linux process this test started."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def remove_tree(path, timeout=15):
    """Removes a folder that an ending program may still write into (a Wine server
    saves its registry as it goes): again until it stays gone."""
    def gone():
        shutil.rmtree(path, ignore_errors=True)
        return not os.path.exists(path)
    wait_for(gone, timeout, interval=0.5, what="removal of " + path)


def base_prefix():
    return os.environ.get("IVRA_BASE_PREFIX") or os.path.join(os.environ.get("IVRA_CACHE", "/var/cache/ivra"),
                                                               "wineprefix")


def private_prefix():
    """A throw-away copy of the project's prefix (hard links for the DLL folders),
    in the suite's run folder when there is one. The caller removes it."""
    parent = os.environ.get("IVRA_RUN_DIR") or os.path.join(os.environ.get("IVRA_CACHE", "/var/cache/ivra"), "runs")
    os.makedirs(parent, exist_ok=True)
    dest = tempfile.mkdtemp(prefix="wp-", dir=parent)
    os.rmdir(dest)
    r = subprocess.run(["bash", "-c", '. "$1"; ivra_prefix_copy "$2" "$3"', "-",
                        os.path.join(SOURCE, "scripts", "env.sh"), base_prefix(), dest], capture_output=True)
    if r.returncode != 0:
        shutil.rmtree(dest, ignore_errors=True)
        raise AssertionError("cannot copy the Wine prefix: %r" % r.stderr)
    return dest


def ivtool(*args, timeout=30, env=None):
    return wine([exe("ivtool")] + [str(a) for a in args], timeout=timeout, env=env)


_tool_loops = {}  # (folder, Linux environment) -> a running "ivtool serve"
_tool_loop_failures = {}  # the same key -> starts that gave no "ready" (an ivtool built before serve)
_tool_loop_lock = threading.Lock()  # one command at a time; another thread starts its own process
_TOOL_LOOP_COMMANDS = ("kill", "alive", "window-pid", "wm-close", "post", "pipe-send")
_TOOL_LOOP_PROGRAMS = ("wintext", "overlay_probe")


def _tool_loop_key():
    return os.getcwd(), tuple(sorted(os.environ.items()))


def _tool_loop_close(key):
    proc = _tool_loops.pop(key, None)
    if proc:
        try:
            proc.stdin.close()  # it ends at the end of its input
            proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            pass
        stop_process(proc)
        proc.stdout.close()


def _tool_loop_close_all():
    for key in list(_tool_loops):
        _tool_loop_close(key)


atexit.register(_tool_loop_close_all)


def _tool_loop_command(args, env):
    """The serve arguments for a wine() call, with (stdout, stderr) files when the call starts a
    program; None when the call needs a process of its own: a program that is not a built
    one, or an environment that differs in more than IVRA_ variables, which only a started
    program reads."""
    prog = str(args[0])
    rest = [str(a) for a in args[1:]]
    extra = []
    for k, v in (env or {}).items():
        if os.environ.get(k) == v:
            continue
        if not k.startswith("IVRA_") or not v:
            return None
        extra += ["--env", "%s=%s" % (k, v)]
    if prog == os.path.join(BUILD, "tests", "ivtool.exe"):
        if rest and rest[0] in _TOOL_LOOP_COMMANDS:
            return rest, False
        if rest and rest[0] == "launch":
            return ["launch"] + extra + rest[1:], True
        return None
    for name in _TOOL_LOOP_PROGRAMS:
        # These only look at windows and the screen, so ivtool does it without a process.
        if prog == os.path.join(BUILD, "tests", name + ".exe"):
            return [name] + rest, False
    if os.path.isabs(prog) and prog.lower().endswith(".exe") and os.path.isfile(prog):
        return ["launch"] + extra + ["--", prog] + rest, True
    return None


def _tool_loop_start():
    """A running "ivtool serve" for this folder and environment, or None when Wine did not start one."""
    key = _tool_loop_key()
    proc = _tool_loops.get(key)
    if proc is not None and proc.poll() is None:
        return key, proc
    if proc is not None:
        _tool_loop_close(key)
    if _tool_loop_failures.get(key, 0) >= 2:
        return key, None
    try:
        proc = subprocess.Popen([WINE_RUN, exe("ivtool"), "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
    except OSError:
        return key, None
    _tool_loops[key] = proc
    ready, _, _ = select.select([proc.stdout], [], [], 60)
    if not ready or proc.stdout.readline().rstrip(b"\r\n") != b"ready":
        _tool_loop_close(key)
        _tool_loop_failures[key] = _tool_loop_failures.get(key, 0) + 1
        return key, None
    return key, proc


def _tool_loop_run(args, timeout, env):
    """Runs a wine() call inside a running "ivtool serve": ivtool's own commands there, a program
    as its child with files for standard output and error (NUL as input, as with no input
    given). Returns a CompletedProcess, or None when the call needs a process of its own or
    the loop serves another thread."""
    if not _tool_loop_lock.acquire(blocking=False):
        return None
    files = []
    try:
        got = _tool_loop_command(args, env)
        if got is None:
            return None
        cmd, starts = got
        if starts:
            for _ in range(2):
                fd, path = tempfile.mkstemp(prefix="ivtool-")
                os.close(fd)
                files.append(path)
            # The launcher takes its options before "--".
            cmd = cmd[:1] + ["--stdio", win_path(files[0]), win_path(files[1])] + cmd[1:]
        key, proc = _tool_loop_start()
        if proc is None:
            return None
        try:
            proc.stdin.write(b" ".join(a.encode().hex().encode() for a in cmd) + b"\n")
            proc.stdin.flush()
        except OSError:
            _tool_loop_close(key)
            return None
        ready, _, _ = select.select([proc.stdout], [], [], timeout)
        if not ready:
            _tool_loop_close(key)
            raise subprocess.TimeoutExpired([WINE_RUN] + list(args), timeout)
        fields = proc.stdout.readline().rstrip(b"\r\n").split(b" ")
        try:
            rc, out, err = int(fields[0]), bytes.fromhex(fields[1].decode()), bytes.fromhex(fields[2].decode())
        except (IndexError, ValueError):
            # The loop ended under the command (its Wine server was ended): run it on its own.
            _tool_loop_close(key)
            return None
        if starts:
            with open(files[0], "rb") as f:
                child_out = f.read()
            with open(files[1], "rb") as f:
                child_err = f.read()
            if str(args[0]) == os.path.join(BUILD, "tests", "ivtool.exe"):
                out, err = out + child_out, err + child_err
            else:
                out, err = child_out, child_err + err
        # As the process's exit status would carry it.
        return subprocess.CompletedProcess([WINE_RUN] + list(args), rc & 0xFF, out, err)
    finally:
        _tool_loop_lock.release()
        for path in files:
            try:
                os.remove(path)
            except OSError:
                pass


_pipe_loops = {}  # Wine prefix -> a running "ivtool pipe-loop"


_pipe_loop_lock = threading.Lock()  # one exchange at a time; another thread starts its own client


def _pipe_loop_close(prefix):
    proc = _pipe_loops.pop(prefix, None)
    if proc:
        stop_process(proc)
        proc.stdin.close()
        proc.stdout.close()


def _pipe_loop_close_all():
    for prefix in list(_pipe_loops):
        _pipe_loop_close(prefix)


atexit.register(_pipe_loop_close_all)


def pipe_loop_exchange(request_bytes, timeout_ms):
    """One exchange on the agent's pipe through a pipe client that stays running, so polling
    the agent does not start a Windows process each time. Returns (rc, ms, reply), or None
    when that client cannot be started or serves another thread (the caller then starts a
    client for the request). RC is
    0, 3 when the pipe could not be opened, or -1 when the client did not answer in time."""
    if not _pipe_loop_lock.acquire(blocking=False):
        return None
    try:
        return _pipe_loop_exchange(request_bytes, timeout_ms)
    finally:
        _pipe_loop_lock.release()


def _pipe_loop_exchange(request_bytes, timeout_ms):
    prefix = os.environ.get("WINEPREFIX", "")
    proc = _pipe_loops.get(prefix)
    if proc is None or proc.poll() is not None:
        try:
            proc = subprocess.Popen([WINE_RUN, exe("ivtool"), "pipe-loop"], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        except OSError:
            return None
        _pipe_loops[prefix] = proc
    try:
        proc.stdin.write(b"%d %s\n" % (timeout_ms, request_bytes.hex().encode()))
        proc.stdin.flush()
    except OSError:
        _pipe_loop_close(prefix)
        return None
    # The reply comes within the request's own time-out; a client that says nothing by
    # then is stuck, and is ended so the next request gets a new one.
    ready, _, _ = select.select([proc.stdout], [], [], timeout_ms / 1000 + 30)
    fields = (proc.stdout.readline() if ready else b"").rstrip(b"\r\n").split(b" ")
    try:
        return int(fields[0]), int(fields[1]), bytes.fromhex(fields[2].decode())
    except (IndexError, ValueError):
        _pipe_loop_close(prefix)
        return -1, None, b""


def pid_alive(pid):
    return ivtool("alive", pid).returncode == 0


def close_settings_windows(limit=5):
    """Ends the settings programs the agent started on its own (first start, second launch)."""
    for _ in range(limit):
        r = ivtool("window-pid", "IvraSettingsWnd")
        if r.returncode != 0:
            return
        ivtool("kill", int(r.stdout.split()[0]))


def stop_stray_agents():
    """Ends an agent an earlier test left in this prefix; the prefix is the suite's
    own, so one that will not end is a failure, never a reason to skip."""
    r = ivtool("window-pid", "IvraAgentWnd")
    if r.returncode != 0:
        return
    pid = int(r.stdout.split()[0])
    ivtool("kill", pid)
    wait_for(lambda: ivtool("window-pid", "IvraAgentWnd").returncode != 0, 15, interval=0.2,
             what="the agent left by an earlier test (pid %d) to end" % pid)


def log_time(line):
    """Seconds since midnight of a log line's "[HH:MM:SS.mmm]" stamp: the agent's own clock."""
    m = re.match(r"\[(\d\d):(\d\d):(\d\d)\.(\d\d\d)\]", line)
    if not m:
        raise AssertionError("no time stamp in log line %r" % line)
    h, mi, sec, ms = (int(g) for g in m.groups())
    return h * 3600 + mi * 60 + sec + ms / 1000.0


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
        # IVRA_E2E_KEEP_LOGS=DIR keeps each sandbox's log there for a look after a failure.
        keep = os.environ.get("IVRA_E2E_KEEP_LOGS")
        if keep:
            os.makedirs(keep, exist_ok=True)
            for name in ("ivrad.log",):
                src = os.path.join(self.data, name)
                if os.path.exists(src):
                    shutil.copy(src, os.path.join(keep, "%s-%s" % (os.path.basename(self.root), name)))
        shutil.rmtree(self.root, ignore_errors=True)


class Agent:
    """One ivrad.exe inside a sandbox."""

    def __init__(self, sandbox, env=None):
        self.sb = sandbox
        self.env = env
        self.pid = None

    def start(self, *args, ready_line="ivrad started in", timeout=30):
        # A restart in the same sandbox finds the earlier agent's line in the log:
        # only one more than there was before counts.
        seen = self.sb.log_text().count(ready_line)
        self.pid = self.sb.start("ivrad", *args, env=self.env)
        wait_for(lambda: self.sb.log_text().count(ready_line) > seen, timeout, what="agent start")
        wait_for(lambda: self.pipe("ping\n", timeout_ms=2000) == b"ok\n", timeout, what="pipe ready")
        return self.pid

    def pipe(self, request, timeout_ms=10000):
        """Sends exactly the given request text (include the line feed) and returns the reply bytes."""
        return self.pipe_timed(request, timeout_ms)[0]

    def pipe_timed(self, request, timeout_ms=10000):
        """Like pipe; also returns the exchange's milliseconds as measured inside Windows
        (None when there was no exchange), for time limits free of Wine's start-up."""
        got = pipe_loop_exchange(request.encode(), timeout_ms)
        if got is not None:
            rc, ms, reply = got
            if not reply:
                # An empty reply is a failure the caller reports; say what the client saw.
                print("pipe %r: %s" % (request[:40], "open failed %s" % ms if rc == 3 else "no reply (rc %d)" % rc),
                      file=sys.stderr)
            return reply, ms if rc == 0 else None
        esc = request.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")
        r = ivtool("pipe-send", esc, timeout_ms, timeout=timeout_ms / 1000 + 30)
        if not r.stdout:
            # An empty reply is a failure the caller reports; say what the client saw.
            print("pipe-send %r: exit %d, %r" % (request[:40], r.returncode, r.stderr[-200:]), file=sys.stderr)
        m = re.search(rb"ms=(\d+)", r.stderr)
        # ivtool's stdout is in text mode, which turns every line feed into CR LF;
        # replies never hold a CR of their own.
        return r.stdout.replace(b"\r\n", b"\n"), int(m.group(1)) if m else None

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
        # Cleanups run also when a subclass's setUp fails after this point.
        self.addCleanup(self.sb.cleanup)


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


class _TimedResult(unittest.TextTestResult):
    """Shows each test's own seconds beside its verdict, so a slow test is found by name."""

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def _took(self):
        if self.showAll:
            self.stream.write("(%.1f s) " % (time.monotonic() - self._started))

    def addSuccess(self, test):
        self._took()
        super().addSuccess(test)

    def addFailure(self, test, err):
        self._took()
        super().addFailure(test, err)

    def addError(self, test, err):
        self._took()
        super().addError(test, err)


def main():
    unittest.main(verbosity=2, testRunner=unittest.TextTestRunner(resultclass=_TimedResult, verbosity=2))


# ---- Media checks with the Linux FFmpeg tools (Debian's ffmpeg package), never
# with the program's own word or a file's size.

def linux_path(path):
    """The Linux path of a "Z:\\..." path an agent or ivrac printed."""
    if not re.match(r"^[Zz]:\\", path):
        raise AssertionError("not a Z: path: %r" % path)
    return path[2:].replace("\\", "/")


def reply_fields(reply):
    """The key=value fields of an "ok" pipe reply (bytes) as a dict of strings."""
    if not reply.startswith(b"ok"):
        raise AssertionError("not an ok reply: %r" % reply)
    return dict(f.split("=", 1) for f in reply.decode("utf-8", "replace").rstrip("\n").split("\t")[1:] if "=" in f)


def probe_media(path):
    """ffprobe's streams and format of a file: {"streams": [...], "format": {...}}."""
    import json
    r = subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", path],
                       capture_output=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("ffprobe cannot read %s: %s" % (path, r.stderr.decode(errors="replace")[-300:]))
    return json.loads(r.stdout)


def video_frames(path):
    """Every video frame of a file, decoded in full by FFmpeg: a list of dicts with
    pts (in the stream's time base), key (bool) and type ("I", "P", ...)."""
    import json
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_frames", "-show_entries",
                        "frame=pts,pkt_dts,key_frame,pict_type", "-of", "json", path], capture_output=True, timeout=300)
    if r.returncode != 0 or r.stderr.strip():
        raise AssertionError("FFmpeg cannot decode %s: %s" % (path, r.stderr.decode(errors="replace")[-300:]))
    out = []
    for f in json.loads(r.stdout).get("frames", []):
        pts = f.get("pts", f.get("pkt_dts"))
        out.append({"pts": int(pts) if pts is not None else None, "key": f.get("key_frame") == 1,
                    "type": f.get("pict_type", "")})
    return out


def decode_all(path):
    """Decodes every stream of a file with FFmpeg; fails on any decoding error."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-xerror", "-i", path, "-f", "null", "-"],
                       capture_output=True, timeout=300)
    if r.returncode != 0 or r.stderr.strip():
        raise AssertionError("FFmpeg cannot decode %s: %s" % (path, r.stderr.decode(errors="replace")[-300:]))


def frame_luma(path, index):
    """The luma plane (w*h bytes, limited range as coded) of frame `index` (counted from 0)
    of the video stream, decoded by FFmpeg."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-vf", "select=eq(n\\,%d)" % index,
                        "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], capture_output=True,
                       timeout=300)
    if r.returncode != 0 or not r.stdout:
        raise AssertionError("no frame %d in %s: %s" % (index, path, r.stderr.decode(errors="replace")[-300:]))
    return r.stdout[:len(r.stdout) * 2 // 3]


def pattern_rgb(w, h, seed, shift=0):
    """RGB24 bytes of a w x h pattern_windows client (see tests/tools/pattern_windows.cpp),
    shifted `shift` columns as its animation does."""
    out = bytearray(w * h * 3)
    o = 0
    for v in range(h):
        g = (v * 5 + seed * 80) & 255
        for u in range(w):
            uu = u + shift
            out[o] = ((uu ^ v) + seed * 20) & 255
            out[o + 1] = g
            out[o + 2] = (uu * 3 + seed * 40) & 255
            o += 3
    return bytes(out)


def pattern_luma(w, h, seed, shift=0):
    """The luma plane a clip of a pattern_windows client should hold: the pattern
    converted by FFmpeg with the BT.709 limited-range matrix clips are written in."""
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                        "%dx%d" % (w, h), "-i", "-", "-vf", "scale=out_color_matrix=bt709:out_range=tv",
                        "-f", "rawvideo", "-pix_fmt", "yuv444p", "-"], input=pattern_rgb(w, h, seed, shift),
                       capture_output=True, timeout=120)
    if r.returncode != 0:
        raise AssertionError("cannot convert the pattern: %s" % r.stderr.decode(errors="replace")[-300:])
    return r.stdout[:w * h]


def psnr(a, b):
    """Peak signal-to-noise ratio in dB of two equal-length 8-bit sample strings."""
    import math
    if len(a) != len(b) or not a:
        raise AssertionError("cannot compare %d and %d bytes" % (len(a), len(b)))
    se = sum((x - y) * (x - y) for x, y in zip(a, b))
    if se == 0:
        return float("inf")
    return 10 * math.log10(255.0 * 255.0 * len(a) / se)


# ---- A private PulseAudio server for the sound tests. Wine's audio driver talks to
# whatever server PULSE_SERVER names, so each test class gets its own with two null
# sinks: "ivra_out" is the speakers (the default sink, what loopback hears) and the
# monitor of "ivra_mic" is the microphone (the default source).

PULSE_RATE = 48000


class PulseAudio:
    """One pulseaudio process with a private runtime folder, started and stopped by pid.

        pa = PulseAudio().start()        # or: with PulseAudio() as pa: ...
        agent = Agent(sb, env=pa.env)    # the agent (and every Wine program) hears this server
        p = pa.play_tone("ivra_out", 1000, 5)   # 5 s of 1 kHz into the speakers, in the background
        p.wait()  /  p.stop()
        rec = pa.record("ivra_out.monitor").wait_live()   # what the speakers play, as float32 mono
        rec.samples()  /  rec.stop()
        Agent(sb, env=pa.env_without_microphone())   # an agent whose microphone cannot open
        pa.stop()                        # also on failure; atexit stops a forgotten one
    """

    def __init__(self):
        self.root = None
        self.proc = None
        self.players = []
        self.env = {}

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def start(self, timeout=20):
        self.root = tempfile.mkdtemp(prefix="ivra-pulse-")
        run = os.path.join(self.root, "run")
        os.makedirs(os.path.join(run, "pulse"), mode=0o700)
        client_conf = os.path.join(self.root, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")  # a lost server must fail, never be replaced by a stray one
        sock = os.path.join(run, "pulse", "native")
        # Everything the server and its clients read lives under root, so neither the
        # user's configuration nor another test's server is ever involved.
        self.env = {"XDG_RUNTIME_DIR": run, "PULSE_SERVER": "unix:" + sock, "PULSE_CLIENTCONFIG": client_conf,
                    "PULSE_RUNTIME_PATH": os.path.join(run, "pulse")}
        env = dict(os.environ)
        env.update(self.env)
        env.update(HOME=self.root, PULSE_STATE_PATH=os.path.join(self.root, "state"))
        env.pop("PULSE_SERVER")
        self._log = open(os.path.join(self.root, "pulseaudio.log"), "wb")
        self.proc = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
             "--disallow-module-loading=no", "--load=module-native-protocol-unix", "--load=module-cli-protocol-unix socket=" + os.path.join(run, "cli"),
             "--load=module-null-sink sink_name=ivra_out rate=%d sink_properties=device.description=Speakers"
             % PULSE_RATE,
             "--load=module-null-sink sink_name=ivra_mic rate=%d sink_properties=device.description=Microphone"
             % PULSE_RATE],
            env=env, stdout=self._log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        _pulse_servers.append(self)
        try:
            wait_for(lambda: self.proc.poll() is not None or self._pactl_ok("info"), timeout, interval=0.1,
                     what="pulseaudio")
            if self.proc.poll() is not None:
                raise AssertionError("pulseaudio exited %d: %s" % (self.proc.returncode, self.log_text()[-500:]))
            self.pactl("set-default-sink", "ivra_out")
            self._microphone_source()
        except BaseException:
            self.stop()
            raise
        return self

    def log_text(self):
        try:
            with open(os.path.join(self.root, "pulseaudio.log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except (OSError, TypeError):
            return ""

    def _client_env(self):
        env = dict(os.environ)
        env.update(self.env)
        return env

    def _pactl_ok(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self._client_env(), capture_output=True,
                              timeout=10).returncode == 0

    def pactl(self, *args):
        """Runs pactl against this server; returns its standard output as text, fails on an error."""
        r = subprocess.run(["pactl"] + [str(a) for a in args], env=self._client_env(), capture_output=True, timeout=10)
        if r.returncode != 0:
            raise AssertionError("pactl %s: %s" % (" ".join(map(str, args)), r.stderr.decode(errors="replace")))
        return r.stdout.decode(errors="replace")

    def cli(self, command):
        """Sends one command to the server's own command line (what pactl cannot do); it
        answers nothing, so callers check the effect."""
        import socket
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as c:
            c.settimeout(10)
            c.connect(os.path.join(self.root, "run", "cli"))
            c.sendall(command.encode() + b"\n")

    def env_without_microphone(self):
        """The environment for a Wine program that finds no microphone: Wine still lists
        a default capture endpoint, but opening it fails (0x8889000f) because the
        default source it asks for does not exist. Fixed when the program starts."""
        return dict(self.env, PULSE_SOURCE="ivra_none")

    def unplug_microphone(self):
        """Removes the "ivra_mic" sink and with it the microphone's source, as if it
        were unplugged: an open capture stream on it ends. Note that the server then
        makes the speakers' monitor its default source, so a later open hears ivra_out."""
        for line in self.pactl("list", "short", "modules").splitlines():
            f = line.split("\t")
            if len(f) >= 3 and f[1] == "module-null-sink" and "sink_name=ivra_mic" in f[2]:
                self.pactl("unload-module", f[0])

    def plug_microphone(self):
        """Brings the microphone back after unplug_microphone()."""
        if "ivra_mic\t" not in self.pactl("list", "short", "sinks"):
            self.pactl("load-module", "module-null-sink", "sink_name=ivra_mic", "rate=%d" % PULSE_RATE,
                       "sink_properties=device.description=Microphone")
        self._microphone_source()

    def _microphone_source(self):
        # The microphone sink's monitor is renamed from "Monitor of Microphone" to a plain
        # input's name: only the speakers' monitor is then what an output monitor looks like.
        self.cli("update-source-proplist ivra_mic.monitor device.description=Microphone")
        wait_for(lambda: "Monitor of Microphone" not in self.pactl("list", "sources"), 10, what="microphone renamed")
        self.pactl("set-default-source", "ivra_mic.monitor")

    def play(self, sink, data):
        """Plays raw float32 little-endian 48 kHz stereo bytes into a sink in the
        background, at the sink's real-time pace. Returns a PulsePlayer."""
        p = PulsePlayer(self, sink, data)
        self.players.append(p)
        return p

    def play_tone(self, sink, hz, seconds, amplitude=0.5):
        return self.play(sink, pulse_tone(hz, seconds, amplitude))

    def play_silence(self, sink, seconds):
        return self.play(sink, pulse_tone(0, seconds))

    def play_burst(self, sink, hz, before, burst, after=0.5, amplitude=0.5):
        """Silence for `before` seconds, a tone for `burst` seconds, silence for `after`."""
        return self.play(sink, pulse_tone(0, before) + pulse_tone(hz, burst, amplitude) + pulse_tone(0, after))

    def record(self, source="ivra_out.monitor"):
        """Records a source (by default what the speakers play) as float32 48 kHz mono
        in the background. Returns a PulseRecorder."""
        r = PulseRecorder(self, source)
        self.players.append(r)
        return r

    def stop(self):
        for p in self.players:
            p.stop()
        self.players = []
        if self.proc is not None:
            stop_process(self.proc)
            self.proc = None
        if getattr(self, "_log", None):
            self._log.close()
            self._log = None
        if self in _pulse_servers:
            _pulse_servers.remove(self)
        if self.root:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None


class PulsePlayer:
    """One pacat feeding a sink; ends by itself when the data has played."""

    def __init__(self, pa, sink, data):
        self.proc = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--device=" + sink, "--format=float32le", "--rate=%d" % PULSE_RATE,
             "--channels=2", "--latency-msec=20"],
            env=pa._client_env(), stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            start_new_session=True)
        self.started = time.monotonic()
        self.seconds = len(data) / (8.0 * PULSE_RATE)

        def feed():
            try:
                self.proc.stdin.write(data)
                self.proc.stdin.close()
            except (BrokenPipeError, ValueError, OSError):
                pass
        self.feeder = threading.Thread(target=feed, daemon=True)
        self.feeder.start()

    def running(self):
        return self.proc.poll() is None

    def wait(self, timeout=None):
        """Waits until the sound has played (its length plus a margin by default); fails when pacat did."""
        limit = timeout if timeout is not None else self.seconds + 15
        try:
            rc = self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.stop()
            raise AssertionError("pacat still playing after %.1f s" % limit)
        if rc != 0:
            raise AssertionError("pacat exited %d: %s" % (rc, self.proc.stderr.read().decode(errors="replace")))

    def stop(self):
        stop_process(self.proc, timeout=5)
        self.feeder.join(timeout=5)
        if self.proc.stderr:
            self.proc.stderr.close()


class PulseRecorder:
    """One parec reading a source into memory until stopped."""

    def __init__(self, pa, source):
        self.proc = subprocess.Popen(
            ["parec", "--raw", "--device=" + source, "--format=float32le", "--rate=%d" % PULSE_RATE, "--channels=1",
             "--latency-msec=20"],
            env=pa._client_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True)
        self.started = time.monotonic()
        self.data = bytearray()
        self.lock = threading.Lock()

        def read():
            while True:
                chunk = self.proc.stdout.read1(65536)
                if not chunk:
                    break
                with self.lock:
                    self.data += chunk
        self.reader = threading.Thread(target=read, daemon=True)
        self.reader.start()

    def wait_live(self, timeout=20):
        """Waits until the stream delivers samples: under load parec may take seconds to
        connect, and whatever plays before that is never recorded. Returns self."""
        wait_for(lambda: len(self.data) >= 4 * PULSE_RATE // 50, timeout, what="parec delivering samples")
        return self

    def samples(self):
        """The samples recorded so far (array of float)."""
        import array
        with self.lock:
            b = bytes(self.data[:len(self.data) // 4 * 4])
        a = array.array("f", b)
        if sys.byteorder != "little":
            a.byteswap()
        return a

    def stop(self):
        """Ends the recording; returns every sample recorded."""
        stop_process(self.proc, timeout=5)
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        return self.samples()


def pulse_tone(hz, seconds, amplitude=0.5):
    """Raw float32 LE 48 kHz stereo bytes of a sine (both channels), or of silence when hz is 0."""
    import array
    import math
    n = int(round(seconds * PULSE_RATE))
    if not hz or n == 0:
        return bytes(8 * n)
    # An integer frequency repeats every second, so one second is computed and repeated.
    period = PULSE_RATE if float(hz).is_integer() else n
    one = array.array("f")
    w = 2 * math.pi * hz / PULSE_RATE
    for i in range(min(period, n)):
        v = amplitude * math.sin(w * i)
        one.append(v)
        one.append(v)
    if sys.byteorder != "little":
        one.byteswap()
    b = one.tobytes()
    reps, rest = divmod(n, period)
    return b * reps + b[:8 * rest] if period < n else b[:8 * n]


_pulse_servers = []


@atexit.register
def _stop_pulse_servers():
    for pa in list(_pulse_servers):
        pa.stop()


# ---- Reference web service

SERVICE_SCRIPT = os.path.join(SOURCE, "service", "ivra_service.py")
_services = []


class Service:
    """The reference web service on a free local port, for one test class:
    svc = Service().start(); env IVRA_SERVER=svc.url; svc.stop() ends it by pid
    and removes its data. Control helpers wrap its /_test/ endpoints."""

    def __init__(self, bits=None):
        self.bits = bits
        self.proc = None
        self.url = None
        self.data = None
        self.out_path = None

    def start(self, timeout=15):
        self.data = tempfile.mkdtemp(prefix="ivra-svc-")
        self.out_path = os.path.join(self.data, "stdout.txt")
        args = [sys.executable, SERVICE_SCRIPT, "--port", "0", "--data", os.path.join(self.data, "data")]
        if self.bits is not None:
            args += ["--bits", str(self.bits)]
        # Output goes to a file: a pipe nobody reads would stall the service once full.
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        _services.append(self)

        def first_line():
            with open(self.out_path, "rb") as f:
                m = re.match(rb"Ivra reference service on (http://\S+)\r?\n", f.readline())
            return m.group(1).decode() if m else None
        try:
            wait_for(lambda: first_line() or self.proc.poll() is not None, timeout=timeout, what="service start")
            self.url = first_line()
            if not self.url:
                raise AssertionError("service did not start: %s" % self.log_text())
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc, timeout=10)
            self.proc = None
        if self in _services:
            _services.remove(self)
        if self.data:
            shutil.rmtree(self.data, ignore_errors=True)
            self.data = None

    def log_text(self):
        try:
            with open(self.out_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except (OSError, TypeError):
            return ""

    def call(self, method, path, body=None, headers=None, timeout=30):
        """One request; returns (status, decoded JSON or raw bytes when not JSON)."""
        import json
        import urllib.error
        import urllib.request
        data = json.dumps(body).encode() if body is not None else None
        req = urllib.request.Request(path if path.startswith("http") else self.url + path, data=data,
                                     method=method, headers=dict(headers or {}))
        if data is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req, timeout=timeout) as r:
                status, raw = r.status, r.read()
        except urllib.error.HTTPError as e:
            status, raw = e.code, e.read()
        try:
            return status, json.loads(raw) if raw else None
        except ValueError:
            return status, raw

    def control(self, method, path, body=None):
        status, obj = self.call(method, "/_test/" + path, body)
        if status != 200:
            raise AssertionError("service control %s %s: %s %r" % (method, path, status, obj))
        return obj

    def config(self, **settings):
        return self.control("POST", "config", settings)

    def fault(self, **rule):
        """Adds a fault rule (method, path, count, status, json/body, delay_ms, drop, ...)."""
        return self.control("POST", "fault", rule)["id"]

    def faults(self):
        return self.control("GET", "faults")["rules"]

    def clear_faults(self):
        self.control("POST", "faults/clear", {})

    def stats(self):
        return self.control("GET", "stats")

    def reset_stats(self):
        self.control("POST", "stats/reset", {})

    def items(self):
        return self.control("GET", "items")["items"]

    def reset(self):
        self.control("POST", "reset", {})

    def release(self, rule_id=None):
        """Lets requests held by a "hold" fault rule go on (all when no id is given)."""
        self.control("POST", "release", {"id": rule_id} if rule_id else {})

    def tokens(self):
        """The device tokens the service issued since it started."""
        return self.control("GET", "tokens")["tokens"]

    def revoke(self, sl_name=None):
        return self.control("POST", "revoke", {"sl_name": sl_name} if sl_name else {})["revoked"]

    def code(self, sl_name, timeout=30):
        """The newest sign-in code "sent" to this avatar, waiting until there is one."""
        got = {}

        def ready():
            status, obj = self.call("GET", "/_test/code?sl_name=" + sl_name.replace(" ", "%20"))
            if status == 200:
                got.update(obj)
            return status == 200
        wait_for(ready, timeout=timeout, interval=0.1, what="sign-in code for " + sl_name)
        return got["code"]

    def fetch(self, url, timeout=60):
        """GET of a share link (or any address); returns (status, bytes)."""
        import urllib.error
        import urllib.request
        try:
            with urllib.request.urlopen(url, timeout=timeout) as r:
                return r.status, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()


@atexit.register
def _stop_services():
    for svc in list(_services):
        svc.stop()
