"""The HTTP client's error cases against the reference service's fault injection.
Every case is one step of a single httpprobe run, so Wine starts once."""
import hashlib
import os
import shutil
import socket
import tempfile
import threading
import unittest

import ivra_e2e as e2e

MIB = 1048576
REFUSED = "The Ivra service refused the request (HTTP %d%s)."


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def short_reply_server():
    """A one-shot server whose 200 reply announces 100 bytes and sends "12345": a
    number that would parse as JSON if the cut body were taken for the whole."""
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(1)
    srv.settimeout(120)

    def serve():
        try:
            conn, _ = srv.accept()
            with conn:
                conn.recv(65536)
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n12345")
        except OSError:
            pass
        finally:
            srv.close()
    t = threading.Thread(target=serve, daemon=True)
    t.start()
    return "http://127.0.0.1:%d" % srv.getsockname()[1], t


def fields(line):
    parts = line.split("\t")
    return parts[0], dict(p.split("=", 1) for p in parts[1:])


class HttpClientTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.svc = e2e.Service().start()
        cls.dir = tempfile.mkdtemp(prefix="ivra-http-")

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()
        shutil.rmtree(cls.dir, ignore_errors=True)

    def write(self, name, size, seed):
        data = hashlib.sha256(seed).digest() * (size // 32) + b"\x5a" * (size % 32)
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return path, hashlib.sha256(data).hexdigest()

    def storage_target(self, token, size, seed):
        status, reply = self.svc.call(
            "POST", "/api/v1/uploads",
            {"kind": "still", "content_hash": hashlib.sha256(seed).hexdigest(), "captured_at": "2026-01-01T00:00:00Z",
             "files": [{"role": "original", "content_type": "image/png", "byte_size": size}]},
            headers={"Authorization": "Bearer " + token})
        self.assertEqual(status, 200, reply)
        return reply["item"]["id"], reply["uploads"][0]["url"]

    def test_error_replies_cap_cancel_and_closed_port(self):
        svc, url = self.svc, self.svc.url
        svc.reset()
        fault = svc.fault
        fault(path="/t/moved", status=301, location=url + "/t/elsewhere")
        landing = fault(path="/t/elsewhere", status=200, json={"followed": True})
        fault(path="/t/quota", status=404, json={"error": "quota_exceeded"})
        fault(path="/t/weird", status=400, json={"error": "weird"})
        fault(path="/t/busy", status=503, json={"error": "storage_unavailable_not"}, count=1)
        fault(path="/t/busy2", status=503, body="<html>down</html>", content_type="text/html")
        fault(path="/t/hello", status=200, body="hello", content_type="text/plain")
        fault(path="/t/empty", status=204)
        fault(path="/t/big", status=200, size=5 * MIB, count=2)
        fault(path="/t/drop", drop=True)
        fault(path="/t/gone", status=404, json={"error": "not_found"})

        token = svc.control("POST", "link", {"sl_name": "probe.resident"})["token"]
        small, small_hash = self.write("small.png", 3 * MIB + 7, b"small")
        large, _ = self.write("large.png", 48 * MIB, b"large")
        small_item, small_url = self.storage_target(token, 3 * MIB + 7, b"small")
        large_item, large_url = self.storage_target(token, 48 * MIB, b"large")
        # The service reads every PUT body slowly, so the upload is still going when cancelled.
        svc.config(put_delay_ms=25)
        download = os.path.join(self.dir, "download.bin")
        not_downloaded = os.path.join(self.dir, "missing.bin")
        dead = "http://127.0.0.1:%d" % closed_port()
        short, short_thread = short_reply_server()

        steps = [
            ["api", "GET", url, "/t/moved"],
            ["api", "GET", url, "/t/quota"],
            ["api", "POST", url, "/t/weird", '{"a":1}'],
            ["api", "GET", url, "/t/busy"],
            ["api", "GET", url, "/t/busy2"],
            ["api", "GET", url, "/t/hello"],
            ["api", "DELETE", url, "/t/empty"],
            ["request", "GET", url + "/t/big"],
            ["api", "GET", url, "/t/big"],
            ["api", "GET", url, "/t/drop"],
            ["api", "GET", dead, "/api/v1/me"],
            ["put", small_url, e2e.win_path(small), "image/png"],
            ["cancel", large_url, e2e.win_path(large), "300", "image/png"],
            ["cancel", small_url, e2e.win_path(small), "-1", "image/png"],
            ["download", url + "/_test/echo?size=%d" % (MIB + 5), e2e.win_path(download)],
            ["download", url + "/t/gone", e2e.win_path(not_downloaded)],
            ["api", "GET", short, "/api/v1/me"],
        ]
        argv = [e2e.exe("httpprobe")]
        for s in steps:
            argv += s + [";"]
        try:
            r = e2e.wine(argv, timeout=180)
        finally:
            # Connects once itself when the probe did not, so the server thread always ends.
            if short_thread.is_alive():
                socket.create_connection(("127.0.0.1", int(short.rsplit(":", 1)[1])), timeout=5).close()
            short_thread.join(10)
        out = r.stdout.decode("utf-8", "replace").replace("\r", "")
        self.assertEqual(r.returncode, 0, out + r.stderr.decode("utf-8", "replace"))
        lines = [fields(ln) for ln in out.splitlines() if ln]
        self.assertEqual([name for name, _ in lines], [s[0] for s in steps], out)
        got = [f for _, f in lines]

        def api(i, status, code, message, tree="0"):
            self.assertEqual((got[i]["status"], got[i]["code"], got[i]["message"], got[i]["tree"]),
                             (str(status), code, message, tree), steps[i])

        # A redirect comes back as it is and is never followed.
        api(0, 301, "http", REFUSED % (301, ""))
        self.assertEqual([f["hits"] for f in svc.faults() if f["id"] == landing], [0])
        api(1, 404, "quota_exceeded", "Your Ivra storage is full.")
        api(2, 400, "weird", REFUSED % (400, ", weird"))
        api(3, 503, "storage_unavailable_not", "The Ivra service had a problem (HTTP 503). Try again shortly.")
        api(4, 503, "http", "The Ivra service had a problem (HTTP 503). Try again shortly.")
        bad = "The Ivra service sent an answer Ivra doesn't understand."
        api(5, 0, "bad_response", bad)
        api(6, 204, "", "")
        # 5 MiB is cut at 4 MiB, terminator included, and then is no JSON.
        self.assertEqual((got[7]["ok"], got[7]["status"], got[7]["body"]), ("1", "200", str(4 * MIB - 1)))
        api(8, 0, "bad_response", bad)
        self.assertEqual((got[9]["status"], got[9]["code"]), ("0", "network"))
        self.assertTrue(got[9]["message"].startswith("Couldn't reach Ivra: "), got[9])
        api(10, 0, "network", "Couldn't reach Ivra: cannot reach the server.")

        # The whole file arrives byte for byte.
        self.assertEqual((got[11]["ok"], got[11]["status"], got[11]["error"]), ("1", "200", "0"))
        files = {it["id"]: it["files"][0] for it in svc.items()}
        self.assertEqual(files[small_item]["sha256"], small_hash)
        # Cancelling ends the upload at the next chunk, long before the file is through.
        self.assertEqual((got[12]["ok"], got[12]["status"], got[12]["error"]), ("0", "0", "12017"), got[12])
        self.assertLess(int(got[12]["after_cancel_ms"]), 2000, got[12])
        self.assertGreaterEqual(int(got[12]["after_cancel_ms"]), 0, got[12])
        self.assertNotEqual(files[large_item]["received"], 48 * MIB)
        self.assertEqual((got[13]["ok"], got[13]["error"]), ("0", "12017"))

        self.assertEqual((got[14]["ok"], got[14]["status"], got[14]["body"]), ("1", "200", str(MIB + 5)))
        self.assertEqual(os.path.getsize(download), MIB + 5)
        with open(download, "rb") as f:
            self.assertEqual(f.read(), b"x" * (MIB + 5))
        self.assertEqual((got[15]["ok"], got[15]["status"]), ("0", "404"))
        self.assertFalse(os.path.exists(not_downloaded))
        # A success whose body broke off is a broken exchange, not an answer.
        api(16, 0, "network", "Couldn't reach Ivra: the connection was interrupted.")


if __name__ == "__main__":
    e2e.main()
