#!/usr/bin/env python3
"""Ivra reference service: the web service the programs link accounts with and
upload captures to, for tests, the demo and anyone running Ivra without the
hosted service. Standard library only.

    python3 service/ivra_service.py [--port N] [--data DIR] [--host ADDR] [--bits N]

--port 0 (the default) takes a free port. The first line on standard output is
"Ivra reference service on http://127.0.0.1:PORT". Without --data a temporary
folder is used and removed at exit. Accounts, devices, sign-in challenges,
items and their files live in DIR/ivra.sqlite3; uploaded bytes in DIR/blobs.
Every event is logged to standard output and DIR/service.log; device tokens
never are (the database keeps only their SHA-256).

Public API (JSON in and out; errors are {"error": CODE} with an HTTP status):
  GET    /api/v1/auth/puzzle            {"puzzle", "bits"}
  POST   /api/v1/auth/start             {sl_name[, pow_puzzle, pow_nonce]} -> {challenge_id,
                                        client_token, sl_name, expires_in, code_length}
  POST   /api/v1/auth/status            {challenge_id, client_token} -> {status, reason}
  POST   /api/v1/auth/verify            {challenge_id, client_token, code} -> {token, sl_name, avatar_key}
  GET    /api/v1/me                     bearer -> {sl_name, avatar_key, items}
  DELETE /api/v1/session                bearer -> 204 (the token is revoked)
  POST   /api/v1/uploads                bearer, {kind, content_hash, captured_at, [width, height,
                                        duration_ms, collection_id], files:[{role, content_type,
                                        byte_size}]} -> {item:{id, status, share_url}, uploads:[{role,
                                        url, headers}]}; status "ready" and no uploads when the
                                        account already has this content
  PUT    /storage/TOKEN                 the storage target of one file (Content-Type must match)
  POST   /api/v1/uploads/ID/complete    bearer, {} -> {item:{id, status, share_url}}
  GET    /s/SHARE[/thumb|/poster]       the uploaded file
  GET    /win/NAME                      update feed and package files, from DIR/feed/NAME (404 when absent)
Status codes used: 400 invalid_name/bad_request/wrong_code/failed/hash_mismatch/size_mismatch,
401 unauthorized, 403 pow_failed/quota_exceeded/invite_required, 404 not_found, 409 not_sent/used/
incomplete, 410 expired, 413 too_large, 429 too_many_attempts/rate_limited.

Sign-in codes are "sent" to the avatar by writing "code for NAME: CODE" to the log
and to GET /_test/code. Names are matched as Second Life does: case-insensitive,
"First Last" is "first.last" and a "Resident" last name is dropped.

Control API, under /_test/, answered only to loopback clients (JSON replies):
  GET  /_test/code?sl_name=NAME  {"code", "challenge_id", "status"} of the newest challenge, 404 if none
  GET  /_test/config             the settings below
  POST /_test/config             merge settings: {"bits": 8, "pow_required": true,
                                 "delivery": "sent"|"queued"|"failed", "delivery_reason": "not_found",
                                 "queued_polls": 0 (status polls answered "queued" before "sent"),
                                 "code_length": 6, "expires_in": 600, "fixed_code": "" (use this code),
                                 "quota_bytes": 0 (0 = none), "rate_limit": 30 (starts per name and
                                 10 minutes, 0 = none), "invite_required": false,
                                 "put_delay_ms": 0 (pause per 256 KiB read of every PUT body)}
  POST /_test/fault              add one rule, reply {"id": N}. A request matches when its method
                                 (if given) and path match; "path" is exact, or a prefix when it ends
                                 in "*". Fields: "method", "path", "count" (how many requests it
                                 catches, default 1, -1 = forever), "status" with "body" (text) or
                                 "json" (object) and "content_type", "size" (a body of that many
                                 "x" bytes), "location" (a Location header), "delay_ms" (wait before
                                 answering, also before a normal answer when no status is given),
                                 "drop": true (close the connection without an answer), with
                                 "drop_after_bytes": N (read N body bytes first), "hold": true
                                 (the request waits, at most 120 s, until POST /_test/release),
                                 "headers": {name: value} (extra reply headers), "cut_after_bytes": N
                                 (announce the whole body, send N bytes of it, close). Also taken:
                                 "times" for "count", "body_bytes" for "size", "read_delay_ms" for
                                 "delay_ms" (the wait comes before the request body is read).
  POST /_test/release            {"id": N} or {} for every rule: let held requests go on
  GET  /_test/faults             the rules with their hit counts; POST /_test/faults/clear removes all
  GET  /_test/echo?status=N&body=TEXT&type=CT&size=N&delay_ms=N&location=URL&drop=1
                                 one canned answer (TEXT percent-decoded); default 200 {"ok":true}
  GET  /_test/stats              {"items", "items_ready", "accounts", "devices", "requests": {name: n},
                                 "high_water", "put_high_water", "in_flight", "put_bytes", "recent_puts":
                                 the last 50 stored files as {"item", "role", "bytes", "ms", "agent"}}
  POST /_test/stats/reset        zero the request counters and high-water marks
  GET  /_test/items              every item with its files (role, size, received, sha256)
  POST /_test/link               {"sl_name"} -> {"token", "sl_name", "avatar_key"}: a device
                                 token without the dialogue
  POST /_test/revoke             {"sl_name"} (or {} for all): revoke device tokens -> {"revoked": n}
  GET  /_test/tokens             {"tokens": [...]}: the device tokens issued since start (kept in
                                 memory only), so a test can check that none reached a log
  POST /_test/reset              forget everything: data, settings, rules and counters
  POST /_test/feed               {"name", "text"}: store an update feed or package file under /win/NAME
                                 ("text": null removes it)
  GET  /_test/requests           {"requests": [{"method", "path", "status"}]}: the last 500 public
                                 requests in order (storage paths shortened as in the log)
"""
import argparse
import hashlib
import json
import os
import re
import secrets
import shutil
import socket
import sqlite3
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 262144
STILL_LIMIT = 52428800
CLIP_LIMIT = 209715200
WRONG_CODE_LIMIT = 5
FEED_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,119}")
CONTENT_TYPES = {"original": None, "thumb": "image/jpeg", "poster": "image/jpeg"}
KIND_TYPES = {"still": ("image/png", "image/jpeg"), "clip": ("video/mp4",)}

DEFAULT_CONFIG = {
    "bits": 8,
    "pow_required": True,
    "delivery": "sent",
    "delivery_reason": "not_found",
    "queued_polls": 0,
    "code_length": 6,
    "expires_in": 600,
    "fixed_code": "",
    "quota_bytes": 0,
    "rate_limit": 30,
    "invite_required": False,
    "put_delay_ms": 0,
}

SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (id INTEGER PRIMARY KEY, sl_name TEXT UNIQUE, avatar_key TEXT,
    created REAL);
CREATE TABLE IF NOT EXISTS devices (id INTEGER PRIMARY KEY, account_id INTEGER, token_hash TEXT UNIQUE,
    created REAL, revoked INTEGER DEFAULT 0);
CREATE TABLE IF NOT EXISTS challenges (id TEXT PRIMARY KEY, client_token TEXT, sl_name TEXT, code TEXT,
    created REAL, expires_in INTEGER, polls INTEGER DEFAULT 0, wrong INTEGER DEFAULT 0,
    used INTEGER DEFAULT 0);
CREATE TABLE IF NOT EXISTS items (id TEXT PRIMARY KEY, account_id INTEGER, kind TEXT, content_hash TEXT,
    status TEXT, share TEXT UNIQUE, captured_at TEXT, width INTEGER, height INTEGER,
    duration_ms INTEGER, collection_id TEXT, created REAL, completed REAL);
CREATE TABLE IF NOT EXISTS files (item_id TEXT, role TEXT, content_type TEXT, byte_size INTEGER,
    put_token TEXT UNIQUE, received INTEGER DEFAULT 0, sha256 TEXT, PRIMARY KEY (item_id, role));
"""


def sl_normalise(name):
    """Second Life user names: case-insensitive, "First Last" is "first.last",
    and the legacy last name "Resident" is not part of the user name."""
    n = " ".join(name.strip().split()).lower().replace(" ", ".")
    if n.endswith(".resident"):
        n = n[: -len(".resident")]
    return n


def sl_name_valid(name):
    return bool(re.fullmatch(r"[a-z0-9][a-z0-9_]{0,30}(\.[a-z0-9][a-z0-9_]{0,30})?", name))


def leading_zero_bits(digest):
    bits = 0
    for b in digest:
        if b == 0:
            bits += 8
            continue
        bits += 8 - b.bit_length()
        break
    return bits


class Reply(Exception):
    """An early answer from deep inside a handler (an API error)."""

    def __init__(self, status, obj=None, code=None):
        super().__init__(code or str(status))
        self.status = status
        self.obj = obj if obj is not None else ({"error": code} if code else {})


class Service:
    def __init__(self, data_dir, bits=None):
        self.data = data_dir
        self.blobs = os.path.join(data_dir, "blobs")
        os.makedirs(self.blobs, exist_ok=True)
        self.lock = threading.RLock()
        self.db = sqlite3.connect(os.path.join(data_dir, "ivra.sqlite3"), check_same_thread=False,
                                  isolation_level=None)
        self.db.executescript(SCHEMA)
        self.log_file = open(os.path.join(data_dir, "service.log"), "a", encoding="utf-8")
        self.config = dict(DEFAULT_CONFIG)
        if bits is not None:
            self.config["bits"] = bits
        self.base_bits = self.config["bits"]
        self.puzzles = {}
        self.starts = {}
        self.faults = []
        self.fault_ids = 0
        self.holds = {}
        self.tokens = []
        self.feed = os.path.join(data_dir, "feed")
        os.makedirs(self.feed, exist_ok=True)
        self.request_log = []
        self.reset_stats()

    # ---- bookkeeping

    def log(self, fmt, *args):
        t = time.time()
        line = "[%s.%03d] %s" % (time.strftime("%H:%M:%S", time.localtime(t)), int(t * 1000) % 1000,
                                 fmt % args if args else fmt)
        with self.lock:
            print(line, flush=True)
            self.log_file.write(line + "\n")
            self.log_file.flush()

    def reset_stats(self):
        with self.lock:
            self.requests = {}
            self.in_flight = 0
            self.high_water = 0
            self.put_in_flight = 0
            self.put_high_water = 0
            self.put_bytes = 0
            self.recent_puts = []

    def enter(self, name, is_put):
        with self.lock:
            self.requests[name] = self.requests.get(name, 0) + 1
            self.in_flight += 1
            self.high_water = max(self.high_water, self.in_flight)
            if is_put:
                self.put_in_flight += 1
                self.put_high_water = max(self.put_high_water, self.put_in_flight)

    def leave(self, is_put):
        with self.lock:
            self.in_flight -= 1
            if is_put:
                self.put_in_flight -= 1

    def stats(self):
        with self.lock:
            q = lambda sql: self.db.execute(sql).fetchone()[0]
            return {"items": q("SELECT COUNT(*) FROM items"),
                    "items_ready": q("SELECT COUNT(*) FROM items WHERE status='ready'"),
                    "accounts": q("SELECT COUNT(*) FROM accounts"),
                    "devices": q("SELECT COUNT(*) FROM devices WHERE revoked=0"),
                    "requests": dict(self.requests), "high_water": self.high_water,
                    "put_high_water": self.put_high_water, "in_flight": self.in_flight,
                    "put_bytes": self.put_bytes, "recent_puts": list(self.recent_puts)}

    def reset_all(self):
        with self.lock:
            for t in ("accounts", "devices", "challenges", "items", "files"):
                self.db.execute("DELETE FROM " + t)
            shutil.rmtree(self.blobs, ignore_errors=True)
            os.makedirs(self.blobs, exist_ok=True)
            self.config = dict(DEFAULT_CONFIG)
            self.config["bits"] = self.base_bits
            self.puzzles.clear()
            self.starts.clear()
            self.faults = []
            self.release_all()
            self.tokens = []
            self.request_log = []
            shutil.rmtree(self.feed, ignore_errors=True)
            os.makedirs(self.feed, exist_ok=True)
            self.reset_stats()
        self.log("reset: all data, settings and rules forgotten")

    def release_all(self):
        with self.lock:
            for ev in self.holds.values():
                ev.set()

    def take_fault(self, method, path):
        with self.lock:
            for rule in self.faults:
                if rule.get("method") and rule["method"].upper() != method:
                    continue
                want = rule.get("path", "*")
                if want.endswith("*"):
                    if not path.startswith(want[:-1]):
                        continue
                elif want != path:
                    continue
                if rule["left"] == 0:
                    continue
                if rule["left"] > 0:
                    rule["left"] -= 1
                rule["hits"] += 1
                return dict(rule)
        return None

    # ---- accounts

    def device(self, headers):
        auth = headers.get("Authorization", "")
        if not auth.startswith("Bearer "):
            raise Reply(401, code="unauthorized")
        h = hashlib.sha256(auth[7:].strip().encode()).hexdigest()
        with self.lock:
            row = self.db.execute("SELECT d.id, a.id, a.sl_name, a.avatar_key FROM devices d JOIN accounts a "
                                  "ON a.id=d.account_id WHERE d.token_hash=? AND d.revoked=0", (h,)).fetchone()
        if not row:
            raise Reply(401, code="unauthorized")
        return {"device": row[0], "account": row[1], "sl_name": row[2], "avatar_key": row[3]}

    def issue_token(self, sl_name):
        token = secrets.token_urlsafe(32)
        with self.lock:
            self.tokens.append(token)
            row = self.db.execute("SELECT id, avatar_key FROM accounts WHERE sl_name=?", (sl_name,)).fetchone()
            if row:
                acc, key = row
            else:
                key = str(uuid.uuid5(uuid.NAMESPACE_URL, "secondlife:" + sl_name))
                acc = self.db.execute("INSERT INTO accounts (sl_name, avatar_key, created) VALUES (?,?,?)",
                                      (sl_name, key, time.time())).lastrowid
            self.db.execute("INSERT INTO devices (account_id, token_hash, created) VALUES (?,?,?)",
                            (acc, hashlib.sha256(token.encode()).hexdigest(), time.time()))
        return token, key

    def puzzle(self):
        p = secrets.token_hex(16)
        with self.lock:
            now = time.time()
            for k in [k for k, v in self.puzzles.items() if v[1] < now]:
                del self.puzzles[k]
            self.puzzles[p] = (self.config["bits"], now + 600)
            bits = self.config["bits"]
        return {"puzzle": p, "bits": bits}

    def start(self, body):
        raw = body.get("sl_name")
        if not isinstance(raw, str):
            raise Reply(400, code="invalid_name")
        name = sl_normalise(raw)
        if not sl_name_valid(name):
            raise Reply(400, code="invalid_name")
        cfg = self.config
        puzzle, nonce = body.get("pow_puzzle"), body.get("pow_nonce")
        with self.lock:
            issued = self.puzzles.pop(puzzle, None) if isinstance(puzzle, str) else None
        if puzzle is not None or nonce is not None:
            ok = (issued is not None and isinstance(nonce, str) and nonce.isdigit() and
                  leading_zero_bits(hashlib.sha256(("%s:%s" % (puzzle, nonce)).encode()).digest()) >= issued[0])
            if not ok:
                self.log("auth: sign-in check failed for %s", name)
                raise Reply(403, code="pow_failed")
        elif cfg["pow_required"] and cfg["bits"] > 0:
            self.log("auth: start for %s without the sign-in check", name)
            raise Reply(403, code="pow_failed")
        if cfg["invite_required"]:
            with self.lock:
                known = self.db.execute("SELECT 1 FROM accounts WHERE sl_name=?", (name,)).fetchone()
            if not known:
                raise Reply(403, code="invite_required")
        now = time.time()
        with self.lock:
            recent = [t for t in self.starts.get(name, []) if t > now - 600]
            if cfg["rate_limit"] and len(recent) >= cfg["rate_limit"]:
                raise Reply(429, code="rate_limited")
            self.starts[name] = recent + [now]
        n = max(1, min(int(cfg["code_length"]), 12))
        code = cfg["fixed_code"] or "".join(secrets.choice("0123456789") for _ in range(n))
        cid, ctok = "ch_" + secrets.token_hex(12), secrets.token_urlsafe(48)[:64]
        with self.lock:
            self.db.execute("INSERT INTO challenges (id, client_token, sl_name, code, created, expires_in) "
                            "VALUES (?,?,?,?,?,?)", (cid, ctok, name, code, now, int(cfg["expires_in"])))
        if cfg["delivery"] == "sent" and cfg["queued_polls"] <= 0:
            self.log("code for %s: %s", name, code)
        return {"challenge_id": cid, "client_token": ctok, "sl_name": name,
                "expires_in": int(cfg["expires_in"]), "code_length": len(code)}

    def challenge(self, body):
        cid, ctok = body.get("challenge_id"), body.get("client_token")
        with self.lock:
            row = self.db.execute("SELECT id, client_token, sl_name, code, created, expires_in, polls, wrong, used "
                                  "FROM challenges WHERE id=?", (cid,)).fetchone()
        if not row or not isinstance(ctok, str) or not secrets.compare_digest(row[1], ctok):
            raise Reply(404, code="not_found")
        return dict(zip(("id", "client_token", "sl_name", "code", "created", "expires_in", "polls", "wrong",
                         "used"), row))

    def delivery(self, ch):
        """What the messenger did with this challenge's code: (status, reason)."""
        cfg = self.config
        if cfg["delivery"] == "failed":
            return "failed", cfg["delivery_reason"]
        if cfg["delivery"] == "queued" or ch["polls"] < cfg["queued_polls"]:
            return "queued", ""
        return "sent", ""

    def status(self, body):
        ch = self.challenge(body)
        with self.lock:
            self.db.execute("UPDATE challenges SET polls=polls+1 WHERE id=?", (ch["id"],))
        st, reason = self.delivery(ch)
        if st == "sent" and self.config["queued_polls"] > 0 and ch["polls"] == self.config["queued_polls"]:
            self.log("code for %s: %s", ch["sl_name"], ch["code"])
        if time.time() > ch["created"] + ch["expires_in"]:
            st, reason = "failed", "expired"
        elif ch["wrong"] >= WRONG_CODE_LIMIT:
            st, reason = "failed", "too_many_attempts"
        return {"status": st, "reason": reason}

    def verify(self, body):
        ch = self.challenge(body)
        if ch["used"]:
            raise Reply(409, code="used")
        if time.time() > ch["created"] + ch["expires_in"]:
            raise Reply(410, code="expired")
        if ch["wrong"] >= WRONG_CODE_LIMIT:
            raise Reply(429, code="too_many_attempts")
        st, _ = self.delivery(ch)
        if st == "failed":
            raise Reply(400, code="failed")
        if st == "queued":
            raise Reply(409, code="not_sent")
        code = body.get("code")
        if not isinstance(code, str) or not secrets.compare_digest(code.strip().encode(), ch["code"].encode()):
            with self.lock:
                self.db.execute("UPDATE challenges SET wrong=wrong+1 WHERE id=?", (ch["id"],))
            self.log("auth: wrong code for %s (%d)", ch["sl_name"], ch["wrong"] + 1)
            raise Reply(400, code="wrong_code")
        with self.lock:
            self.db.execute("UPDATE challenges SET used=1 WHERE id=?", (ch["id"],))
        token, key = self.issue_token(ch["sl_name"])
        self.log("auth: %s linked a device", ch["sl_name"])
        return {"token": token, "sl_name": ch["sl_name"], "avatar_key": key}

    # ---- uploads

    def create(self, dev, body, base):
        kind, chash, files = body.get("kind"), body.get("content_hash"), body.get("files")
        if kind not in KIND_TYPES or not isinstance(chash, str) or not re.fullmatch(r"[0-9a-f]{64}", chash) \
                or not isinstance(files, list) or not isinstance(body.get("captured_at"), str):
            raise Reply(400, code="bad_request")
        wanted = {}
        for f in files:
            if not isinstance(f, dict):
                raise Reply(400, code="bad_request")
            role, ctype, size = f.get("role"), f.get("content_type"), f.get("byte_size")
            allowed = KIND_TYPES[kind] if role == "original" else (CONTENT_TYPES.get(role),)
            if role not in CONTENT_TYPES or role in wanted or ctype not in allowed or \
                    not isinstance(size, int) or isinstance(size, bool) or size <= 0:
                raise Reply(400, code="bad_request")
            if role == "poster" and kind != "clip":
                raise Reply(400, code="bad_request")
            wanted[role] = (ctype, size)
        if "original" not in wanted:
            raise Reply(400, code="bad_request")
        limit = STILL_LIMIT if kind == "still" else CLIP_LIMIT
        if wanted["original"][1] > limit:
            raise Reply(413, code="too_large")
        col = body.get("collection_id")
        with self.lock:
            row = self.db.execute("SELECT id, status, share FROM items WHERE account_id=? AND content_hash=? "
                                  "ORDER BY created", (dev["account"], chash)).fetchall()
            ready = [r for r in row if r[1] == "ready"]
            if ready:
                self.log("upload: %s already has %s", dev["sl_name"], ready[0][0])
                return {"item": {"id": ready[0][0], "status": "ready", "share_url": base + "/s/" + ready[0][2]},
                        "uploads": []}
            quota = self.config["quota_bytes"]
            if quota:
                used = self.db.execute("SELECT COALESCE(SUM(f.byte_size),0) FROM files f JOIN items i ON "
                                       "i.id=f.item_id WHERE i.account_id=? AND i.status='ready'",
                                       (dev["account"],)).fetchone()[0]
                if used + sum(s for _, s in wanted.values()) > quota:
                    raise Reply(403, code="quota_exceeded")
            if row:
                # A retry after an interrupted transfer: the same item gets fresh targets.
                item = row[0][0]
                self.db.execute("DELETE FROM files WHERE item_id=?", (item,))
            else:
                item = "itm_" + secrets.token_hex(8)
                self.db.execute("INSERT INTO items (id, account_id, kind, content_hash, status, share, captured_at, "
                                "width, height, duration_ms, collection_id, created) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
                                (item, dev["account"], kind, chash, "pending", secrets.token_urlsafe(12),
                                 body["captured_at"], body.get("width"), body.get("height"),
                                 body.get("duration_ms"), col if isinstance(col, str) else None, time.time()))
            uploads = []
            for role, (ctype, size) in wanted.items():
                put = secrets.token_urlsafe(24)
                self.db.execute("INSERT INTO files (item_id, role, content_type, byte_size, put_token) "
                                "VALUES (?,?,?,?,?)", (item, role, ctype, size, put))
                uploads.append({"role": role, "url": base + "/storage/" + put,
                                "headers": {"Content-Type": ctype, "Content-Length": str(size),
                                            "x-ivra-item": item}})
        self.log("upload: item %s for %s (%s, %d files, %d bytes)", item, dev["sl_name"], kind, len(uploads),
                 wanted["original"][1])
        return {"item": {"id": item, "status": "pending", "share_url": ""}, "uploads": uploads}

    def complete(self, dev, item, base):
        with self.lock:
            row = self.db.execute("SELECT status, share, content_hash FROM items WHERE id=? AND account_id=?",
                                  (item, dev["account"])).fetchone()
            if not row:
                raise Reply(404, code="not_found")
            files = self.db.execute("SELECT role, received, sha256 FROM files WHERE item_id=?", (item,)).fetchall()
            if row[0] != "ready":
                if not files or any(not f[1] for f in files):
                    raise Reply(409, code="incomplete")
                orig = [f for f in files if f[0] == "original"][0]
                if orig[2] != row[2]:
                    self.log("upload: item %s does not match its content hash", item)
                    raise Reply(400, code="hash_mismatch")
                self.db.execute("UPDATE items SET status='ready', completed=? WHERE id=?", (time.time(), item))
                self.log("upload: item %s ready", item)
        return {"item": {"id": item, "status": "ready", "share_url": base + "/s/" + row[1]}}

    def blob_path(self, item, role):
        return os.path.join(self.blobs, item, role)


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "IvraReference/1.0"
    svc = None  # set by main

    def log_message(self, fmt, *args):
        pass

    # ---- plumbing

    def send(self, status, obj=None, raw=None, ctype="application/json", extra=None):
        data = raw if raw is not None else (b"" if obj is None else json.dumps(obj).encode())
        self.sent_status = status
        self.send_response(status)
        if status != 204:
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(data)))
        for k, v in (extra or {}).items():
            self.send_header(k, v)
        self.end_headers()
        if status != 204 and self.command != "HEAD":
            self.wfile.write(data)

    def body_length(self):
        try:
            return int(self.headers.get("Content-Length") or 0)
        except ValueError:
            return 0

    def read_body(self, limit=1 << 20):
        n = self.body_length()
        if n > limit:
            self.drain(n)
            raise Reply(413, code="too_large")
        return self.rfile.read(n) if n > 0 else b""

    def drain(self, n):
        while n > 0:
            got = self.rfile.read(min(n, CHUNK))
            if not got:
                break
            n -= len(got)

    def json_body(self):
        data = self.read_body()
        try:
            obj = json.loads(data.decode("utf-8")) if data else {}
        except (ValueError, UnicodeDecodeError):
            raise Reply(400, code="bad_request")
        if not isinstance(obj, dict):
            raise Reply(400, code="bad_request")
        return obj

    def base(self):
        return "http://" + (self.headers.get("Host") or "%s:%d" % self.server.server_address[:2])

    def drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def canned(self, rule):
        """Answers with a fault rule or an echo request; True when it answered."""
        if rule.get("hold"):
            with self.svc.lock:
                ev = self.svc.holds.setdefault(rule["id"], threading.Event())
            ev.wait(120)
        if rule.get("delay_ms"):
            time.sleep(rule["delay_ms"] / 1000.0)
        if rule.get("drop"):
            after = int(rule.get("drop_after_bytes") or 0)
            if after:
                self.drain(min(after, self.body_length()))
            self.drop()
            return True
        if not rule.get("status"):
            return False
        self.drain(self.body_length())
        if "json" in rule:
            raw, ctype = json.dumps(rule["json"]).encode(), "application/json"
        elif rule.get("size"):
            raw, ctype = b"x" * int(rule["size"]), rule.get("content_type") or "application/octet-stream"
        else:
            raw, ctype = (rule.get("body") or "").encode(), rule.get("content_type") or "application/json"
        extra = dict(rule.get("headers") or {})
        if rule.get("location"):
            extra["Location"] = rule["location"]
        if rule.get("cut_after_bytes") is not None:
            self.send_response(int(rule["status"]))
            self.send_header("Content-Type", ctype)
            self.send_header("Content-Length", str(len(raw)))
            for k, v in extra.items():
                self.send_header(k, v)
            self.end_headers()
            self.wfile.write(raw[:int(rule["cut_after_bytes"])])
            self.wfile.flush()
            self.drop()
            return True
        self.send(int(rule["status"]), raw=raw, ctype=ctype, extra=extra)
        return True

    def handle_any(self):
        svc = self.svc
        url = urllib.parse.urlsplit(self.path)
        path, query = url.path, urllib.parse.parse_qs(url.query, keep_blank_values=True)
        method = self.command
        if path.startswith("/_test/"):
            if self.client_address[0] not in ("127.0.0.1", "::1"):
                self.drain(self.body_length())
                return self.send(403, {"error": "forbidden"})
            return self.control(path, query)
        is_put = method == "PUT"
        name = self.route_name(method, path)
        svc.enter(name, is_put)
        status = None
        try:
            rule = svc.take_fault(method, path)
            if rule and self.canned(rule):
                status = rule.get("status") or "drop"
                svc.log("fault: %s %s -> %s", method, path, status)
                return
            self.sent_status = None
            self.api(method, path)
            status = self.sent_status
        except Reply as r:
            status = r.status
            self.send(r.status, r.obj)
        except (ConnectionError, socket.timeout) as e:
            status = "broken (%s)" % e.__class__.__name__
            self.close_connection = True
        finally:
            svc.leave(is_put)
            shown = path if not path.startswith("/storage/") else "/storage/..."
            with svc.lock:
                svc.request_log = (svc.request_log + [{"method": method, "path": shown, "status": status}])[-500:]
            svc.log("http: %s %s %s", method, shown, status)

    @staticmethod
    def route_name(method, path):
        if path.startswith("/storage/"):
            return "put" if method == "PUT" else "storage"
        if path.startswith("/s/"):
            return "share"
        if path.startswith("/win/"):
            return "feed"
        if re.fullmatch(r"/api/v1/uploads/[^/]+/complete", path):
            return "complete"
        return {"/api/v1/uploads": "create", "/api/v1/me": "me", "/api/v1/session": "unlink",
                "/api/v1/auth/puzzle": "puzzle", "/api/v1/auth/start": "start",
                "/api/v1/auth/status": "status", "/api/v1/auth/verify": "verify"}.get(path, "other")

    # ---- public API

    def api(self, method, path):
        svc = self.svc
        if method == "GET" and path == "/api/v1/auth/puzzle":
            self.send(200, svc.puzzle())
        elif method == "POST" and path == "/api/v1/auth/start":
            self.send(200, svc.start(self.json_body()))
        elif method == "POST" and path == "/api/v1/auth/status":
            self.send(200, svc.status(self.json_body()))
        elif method == "POST" and path == "/api/v1/auth/verify":
            self.send(200, svc.verify(self.json_body()))
        elif method == "GET" and path == "/api/v1/me":
            dev = svc.device(self.headers)
            with svc.lock:
                n = svc.db.execute("SELECT COUNT(*) FROM items WHERE account_id=? AND status='ready'",
                                   (dev["account"],)).fetchone()[0]
            self.send(200, {"sl_name": dev["sl_name"], "avatar_key": dev["avatar_key"], "items": n})
        elif method == "DELETE" and path == "/api/v1/session":
            dev = svc.device(self.headers)
            with svc.lock:
                svc.db.execute("UPDATE devices SET revoked=1 WHERE id=?", (dev["device"],))
            svc.log("auth: %s unlinked a device", dev["sl_name"])
            self.send(204)
        elif method == "POST" and path == "/api/v1/uploads":
            dev = svc.device(self.headers)
            self.send(200, svc.create(dev, self.json_body(), self.base()))
        elif method == "POST" and re.fullmatch(r"/api/v1/uploads/[^/]+/complete", path):
            dev = svc.device(self.headers)
            self.json_body()
            self.send(200, svc.complete(dev, path.split("/")[4], self.base()))
        elif method == "PUT" and path.startswith("/storage/"):
            self.put(path[len("/storage/"):])
        elif method in ("GET", "HEAD") and path.startswith("/s/"):
            self.share(path[3:])
        elif method in ("GET", "HEAD") and path.startswith("/win/"):
            self.feed_file(path[len("/win/"):])
        else:
            self.drain(self.body_length())
            raise Reply(404, code="not_found")

    def put(self, token):
        svc = self.svc
        with svc.lock:
            row = svc.db.execute("SELECT item_id, role, content_type, byte_size FROM files WHERE put_token=?",
                                 (token,)).fetchone()
        n = self.body_length()
        chunked = self.headers.get("Transfer-Encoding", "").lower() == "chunked"
        if not row:
            self.drain(n)
            raise Reply(404, code="not_found")
        item, role, ctype, size = row
        if (self.headers.get("Content-Type") or "").split(";")[0].strip() != ctype:
            self.drain(n)
            raise Reply(403, code="signature_mismatch")
        os.makedirs(os.path.join(svc.blobs, item), exist_ok=True)
        final = svc.blob_path(item, role)
        tmp = final + ".%s.part" % secrets.token_hex(4)
        digest, got = hashlib.sha256(), 0
        began = time.monotonic()
        try:
            with open(tmp, "wb") as f:
                for data in (self.chunks() if chunked else self.sized(n)):
                    f.write(data)
                    digest.update(data)
                    got += len(data)
                    with svc.lock:
                        svc.put_bytes += len(data)
                    if svc.config["put_delay_ms"]:
                        time.sleep(svc.config["put_delay_ms"] / 1000.0)
            if got != size:
                raise Reply(400, code="size_mismatch")
            os.replace(tmp, final)
        finally:
            if os.path.exists(tmp):
                os.remove(tmp)
        ms = (time.monotonic() - began) * 1000.0
        with svc.lock:
            svc.db.execute("UPDATE files SET received=?, sha256=? WHERE put_token=?", (got, digest.hexdigest(), token))
            svc.recent_puts = (svc.recent_puts + [{"item": item, "role": role, "bytes": got, "ms": round(ms, 1),
                                                   "agent": self.headers.get("User-Agent", "")}])[-50:]
        svc.log("storage: %s of %s, %d bytes in %.0f ms (%.1f MB/s)", role, item, got, ms,
                got / 1048576.0 / max(ms / 1000.0, 1e-6))
        self.send(200, raw=b"", ctype="text/plain", extra={"ETag": '"%s"' % digest.hexdigest()[:32]})

    def sized(self, n):
        while n > 0:
            data = self.rfile.read(min(n, CHUNK))
            if not data:
                raise ConnectionResetError("body ended early")
            n -= len(data)
            yield data

    def chunks(self):
        while True:
            line = self.rfile.readline(65537)
            size = int(line.split(b";")[0].strip() or b"0", 16)
            if size == 0:
                while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                    pass
                return
            yield from self.sized(size)
            self.rfile.readline(3)

    def share(self, rest):
        svc = self.svc
        parts = rest.split("/")
        role = parts[1] if len(parts) > 1 and parts[1] else "original"
        with svc.lock:
            row = svc.db.execute("SELECT i.id, f.content_type FROM items i JOIN files f ON f.item_id=i.id "
                                 "WHERE i.share=? AND i.status='ready' AND f.role=?", (parts[0], role)).fetchone()
        if not row or not os.path.exists(svc.blob_path(row[0], role)):
            raise Reply(404, code="not_found")
        path = svc.blob_path(row[0], role)
        size = os.path.getsize(path)
        self.sent_status = 200
        self.send_response(200)
        self.send_header("Content-Type", row[1])
        self.send_header("Content-Length", str(size))
        self.end_headers()
        if self.command == "HEAD":
            return
        with open(path, "rb") as f:
            shutil.copyfileobj(f, self.wfile, 1 << 20)

    def feed_file(self, name):
        # Only plain names: the feed folder is flat, and nothing outside it is served.
        if not FEED_NAME.fullmatch(name):
            raise Reply(404, code="not_found")
        try:
            with open(os.path.join(self.svc.feed, name), "rb") as f:
                data = f.read()
        except OSError:
            raise Reply(404, code="not_found")
        self.send(200, raw=data, ctype="application/octet-stream")

    # ---- control API

    def control(self, path, query):
        svc = self.svc
        method = self.command
        try:
            body = self.json_body() if method == "POST" else {}
            one = lambda k, d="": query.get(k, [d])[0]
            if path == "/_test/code":
                name = sl_normalise(one("sl_name"))
                with svc.lock:
                    row = svc.db.execute("SELECT id, code, polls, created, expires_in FROM challenges "
                                         "WHERE sl_name=? ORDER BY created DESC LIMIT 1", (name,)).fetchone()
                if not row:
                    raise Reply(404, code="not_found")
                self.send(200, {"code": row[1], "challenge_id": row[0], "polls": row[2]})
            elif path == "/_test/config":
                with svc.lock:
                    for k, v in body.items():
                        if k not in DEFAULT_CONFIG:
                            raise Reply(400, code="unknown_setting")
                        svc.config[k] = v
                    cfg = dict(svc.config)
                if body:
                    svc.log("control: settings %s", json.dumps(body, sort_keys=True))
                self.send(200, cfg)
            elif path == "/_test/fault" and method == "POST":
                for alias, name in (("times", "count"), ("body_bytes", "size"), ("read_delay_ms", "delay_ms")):
                    if alias in body and name not in body:
                        body[name] = body[alias]
                with svc.lock:
                    svc.fault_ids += 1
                    rule = dict(body, id=svc.fault_ids, hits=0, left=int(body.get("count", 1)))
                    svc.faults.append(rule)
                svc.log("control: fault %d %s %s", rule["id"], rule.get("method", "*"), rule.get("path", "*"))
                self.send(200, {"id": rule["id"]})
            elif path == "/_test/faults":
                with svc.lock:
                    self.send(200, {"rules": [dict(r) for r in svc.faults]})
            elif path == "/_test/faults/clear":
                with svc.lock:
                    svc.faults = []
                svc.release_all()
                self.send(200, {"ok": True})
            elif path == "/_test/release" and method == "POST":
                with svc.lock:
                    ids = [body["id"]] if "id" in body else [r["id"] for r in svc.faults] + list(svc.holds)
                    for i in ids:
                        svc.holds.setdefault(i, threading.Event()).set()
                self.send(200, {"released": len(set(ids))})
            elif path == "/_test/tokens":
                with svc.lock:
                    self.send(200, {"tokens": list(svc.tokens)})
            elif path == "/_test/echo":
                rule = {k: one(k) for k in ("status", "body", "location", "drop", "drop_after_bytes") if k in query}
                rule["status"] = int(rule.get("status") or 200)
                rule["delay_ms"] = int(one("delay_ms", "0") or 0)
                rule["size"] = int(one("size", "0") or 0)
                rule["content_type"] = one("type") or None
                rule["drop"] = one("drop") in ("1", "true")
                if "body" not in rule and not rule["size"]:
                    rule["body"] = '{"ok":true}'
                self.canned(rule)
            elif path == "/_test/stats":
                self.send(200, svc.stats())
            elif path == "/_test/stats/reset":
                svc.reset_stats()
                self.send(200, {"ok": True})
            elif path == "/_test/items":
                with svc.lock:
                    items = [dict(zip(("id", "account", "kind", "content_hash", "status", "share_url",
                                       "collection_id", "width", "height", "duration_ms"), r))
                             for r in svc.db.execute("SELECT i.id, a.sl_name, i.kind, i.content_hash, i.status, "
                                                     "i.share, i.collection_id, i.width, i.height, i.duration_ms "
                                                     "FROM items i JOIN accounts a ON a.id=i.account_id "
                                                     "ORDER BY i.created")]
                    for it in items:
                        it["share_url"] = self.base() + "/s/" + it["share_url"]
                        it["files"] = [dict(zip(("role", "content_type", "byte_size", "received", "sha256"), f))
                                       for f in svc.db.execute("SELECT role, content_type, byte_size, received, "
                                                               "sha256 FROM files WHERE item_id=? ORDER BY role",
                                                               (it["id"],))]
                self.send(200, {"items": items})
            elif path == "/_test/link" and method == "POST":
                name = sl_normalise(str(body.get("sl_name", "")))
                if not sl_name_valid(name):
                    raise Reply(400, code="invalid_name")
                token, key = svc.issue_token(name)
                self.send(200, {"token": token, "sl_name": name, "avatar_key": key})
            elif path == "/_test/revoke" and method == "POST":
                with svc.lock:
                    if body.get("sl_name"):
                        n = svc.db.execute("UPDATE devices SET revoked=1 WHERE revoked=0 AND account_id IN "
                                           "(SELECT id FROM accounts WHERE sl_name=?)",
                                           (sl_normalise(body["sl_name"]),)).rowcount
                    else:
                        n = svc.db.execute("UPDATE devices SET revoked=1 WHERE revoked=0").rowcount
                svc.log("control: revoked %d device tokens", n)
                self.send(200, {"revoked": n})
            elif path == "/_test/feed" and method == "POST":
                name = str(body.get("name", ""))
                if not FEED_NAME.fullmatch(name):
                    raise Reply(400, code="invalid_name")
                target = os.path.join(svc.feed, name)
                if body.get("text") is None:
                    if os.path.exists(target):
                        os.remove(target)
                else:
                    with open(target, "w", encoding="utf-8", newline="") as f:
                        f.write(str(body["text"]))
                svc.log("control: feed file %s %s", name, "removed" if body.get("text") is None else "stored")
                self.send(200, {"ok": True})
            elif path == "/_test/requests":
                with svc.lock:
                    self.send(200, {"requests": list(svc.request_log)})
            elif path == "/_test/reset" and method == "POST":
                svc.reset_all()
                self.send(200, {"ok": True})
            else:
                raise Reply(404, code="not_found")
        except Reply as r:
            self.send(r.status, r.obj)
        except (ValueError, TypeError) as e:
            self.send(400, {"error": "bad_request", "detail": str(e)})

    do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = handle_any


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


def main(argv=None):
    ap = argparse.ArgumentParser(description="Ivra reference service")
    ap.add_argument("--port", type=int, default=0, help="port to listen on (0 = any free port)")
    ap.add_argument("--host", default="127.0.0.1", help="address to listen on")
    ap.add_argument("--data", help="folder for the database and uploaded files (default: a temporary one)")
    ap.add_argument("--bits", type=int, help="sign-in check difficulty in leading zero bits (default 8)")
    args = ap.parse_args(argv)
    temp = None
    data = args.data
    if not data:
        temp = data = tempfile.mkdtemp(prefix="ivra-service-")
    os.makedirs(data, exist_ok=True)
    svc = Service(data, args.bits)
    Handler.svc = svc
    server = Server((args.host, args.port), Handler)
    host = args.host if args.host not in ("0.0.0.0", "") else "127.0.0.1"
    print("Ivra reference service on http://%s:%d" % (host, server.server_address[1]), flush=True)
    svc.log("service: data in %s, sign-in check %d bits", data, svc.config["bits"])
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
        if temp:
            shutil.rmtree(temp, ignore_errors=True)
    return 0


def _stop(signum, frame):
    raise KeyboardInterrupt()


if __name__ == "__main__":
    import signal
    signal.signal(signal.SIGTERM, _stop)
    sys.exit(main())
