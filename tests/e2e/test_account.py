"""ivrac account under Wine against the reference service: linking with the
avatar name and the code on standard input, the stored link and its token
check, the failures of the code dialogue, and an unlink the service refuses."""
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ivra_e2e import Sandbox, Service, main  # noqa: E402

CODE = "246810"


class Run:
    def __init__(self, r):
        out = r.stdout
        m = re.match(rb"pid=\d+\r?\n", out)  # the launcher names the child first
        if m:
            out = out[m.end():]
        self.code = r.returncode
        self.out = out.decode("utf-8")
        self.err = r.stderr.decode("utf-8")

    def json(self):
        return json.loads(self.out)


class AccountTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.svc = Service().start()

    @classmethod
    def tearDownClass(cls):
        cls.svc.stop()

    def setUp(self):
        self.svc.reset()
        self.svc.config(fixed_code=CODE)
        self.sb = Sandbox()
        self.addCleanup(self.sb.cleanup)
        self.dat = os.path.join(self.sb.data, "account.dat")

    def ivrac(self, *args, stdin=None):
        r = self.sb.run("ivrac", "account", *args, env={"IVRA_SERVER": self.svc.url + "//"}, input_bytes=stdin)
        return Run(r)

    def test_link_status_and_unlink_the_service_refuses(self):
        # A file this Windows user cannot decrypt counts as no link, stays, and a new link replaces it.
        os.makedirs(self.sb.data)
        with open(self.dat, "wb") as f:
            f.write(bytes(range(256)))
        r = self.ivrac("--json")
        self.assertEqual((r.code, r.json()), (6, {"linked": False, "account": "", "server": self.svc.url,
                                                  "upload_mode": "ask", "token": "none"}), r.err)
        self.assertIn("WARN", [l for l in self.sb.log_lines() if "account: account.dat unreadable for this user (" in l
                               and l.endswith("); treating as not linked")][0])
        self.assertEqual(os.path.getsize(self.dat), 256)

        r = self.ivrac("link", "--json", stdin=b"Ann Resident\n" + CODE.encode() + b"\n")
        self.assertEqual((r.code, r.json()), (0, {"linked": True, "account": "ann"}), r.err)
        self.assertIn("Sending a code to ann in Second Life...", r.err)
        self.assertIn("Code sent. Check your IMs in Second Life.", r.err)
        self.assertTrue(os.path.getsize(self.dat) > 0)
        self.assertEqual(self.svc.stats()["devices"], 1)
        with open(os.path.join(self.sb.data, "config.ini"), "rb") as f:
            self.assertIn(b"\nonboarded=1\r\n", f.read())

        r = self.ivrac("--json")
        self.assertEqual((r.code, r.json()), (0, {"linked": True, "account": "ann", "server": self.svc.url,
                                                  "upload_mode": "ask", "token": "valid"}), r.err)

        # A revoked token shows as such; --offline asks nothing.
        self.svc.revoke("ann")
        self.svc.reset_stats()
        r = self.ivrac("status", "--offline")
        self.assertEqual((r.code, r.out), (0, "linked     yes\naccount    ann\nserver     %s\nuploads    ask\n"
                                           % self.svc.url), r.err)
        self.assertEqual(self.svc.stats()["requests"].get("me", 0), 0)
        r = self.ivrac("--json")
        self.assertEqual(r.json()["token"], "revoked")

        self.svc.fault(method="DELETE", path="/api/v1/session", status=500, json={"error": "boom"})
        r = self.ivrac("unlink")
        self.assertEqual((r.code, r.out), (0, "Unlinked from ann. Captures stay on this PC.\n"), r.err)
        self.assertFalse(os.path.exists(self.dat))
        self.assertEqual([f["hits"] for f in self.svc.faults()], [1])

        log = self.sb.log_text()
        for line in ("account: sign-in check solved (8 bits, ", "account: code requested for ann",
                     "account: linked as ann",
                     "account: server did not confirm unlink (500 boom); removing locally anyway",
                     "account: unlinked on this PC"):
            self.assertIn(line, log)
        tokens = self.svc.tokens()
        self.assertTrue(tokens)
        for token in tokens:
            self.assertNotIn(token, log)

        r = self.ivrac("unlink", "--json")
        self.assertEqual((r.code, r.json()), (0, {"linked": False}), r.err)

    def test_code_dialogue_failures(self):
        cases = [
            # (what, service settings, standard input, exit, error word, message)
            ("five wrong codes", {}, b"ann\n" + b"111111\n" * 5, 1, "too_many_attempts", "too many wrong codes"),
            ("empty code, unsolvable check", {"bits": 27, "pow_required": False}, b"ann\n\n", 1, "cancelled",
             "no code entered"),
            ("end of input instead of a code", {}, b"ann\n", 1, "cancelled", "no code entered"),
            ("empty piped name", {}, b"", 2, "usage", "a Second Life username is required"),
            ("blank name", {}, b"   \r\n", 2, "usage", "a Second Life username is required"),
            ("undelivered code", {"delivery": "failed", "delivery_reason": "relay_offline"}, b"ann\n", 1,
             "relay_offline", "Ivra's messenger in Second Life is offline, so the code couldn't be sent. "
             "Try again in a few minutes."),
            ("start reply without a client token", {"fault": {"method": "POST", "path": "/api/v1/auth/start",
                                                               "status": 200, "json": {"challenge_id": "c1"}}},
             b"ann\n", 1, "bad_response", "The Ivra service sent an answer Ivra doesn't understand."),
        ]
        for what, settings, stdin, code, word, message in cases:
            with self.subTest(what):
                self.svc.reset()
                settings = dict(settings)
                fault = settings.pop("fault", None)
                self.svc.config(fixed_code=CODE, **settings)
                if fault:
                    self.svc.fault(**fault)
                r = self.ivrac("link", "--json", stdin=stdin)
                self.assertEqual((r.code, r.json()), (code, {"error": word, "message": message}), r.err)
                self.assertIn("ivrac account: %s\n" % message, r.err)
                self.assertFalse(os.path.exists(self.dat))
                if word == "usage":
                    self.assertIn("Try 'ivrac account --help'", r.err)
                if word == "too_many_attempts":
                    self.assertEqual(r.err.count("That code isn't right.\n"), 5, r.err)
                    self.assertEqual(r.err.count("Code: "), 5)
        self.assertIn("account: could not solve the sign-in check (27 bits)", self.sb.log_text())


if __name__ == "__main__":
    main()
