"""Password hash, login key, the value cipher and the server's login checks
with their per-address failure lockout.
"""
import base64
import hashlib
import os
import threading
import time

WRONG_LOGIN = "Wrong user or password"


def password_hash(pwd):
    """"{SHA}" and the base64 of the SHA-1 of the password; "" for "".
    Texts in and out are bytes."""
    if not pwd:
        return b""
    return b"{SHA}" + base64.b64encode(hashlib.sha1(pwd).digest())


def login_key(user, pwd, cert):
    """40 lower-case hex digits: SHA-1 of "KORVO", user, password, cert."""
    return hashlib.sha1(b"KORVO" + user + pwd + cert).hexdigest().encode()


def new_cert():
    """A certificate of the key login: 128 random bytes as 256 hex digits."""
    return os.urandom(128).hex().encode()


def rc4(key, data):
    """RC4 of data under key (both bytes); the schedule restarts per call."""
    if not key:
        raise ValueError("RC4 needs a key")
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    out = bytearray(len(data))
    i = j = 0
    for k, b in enumerate(data):
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out[k] = b ^ s[(s[i] + s[j]) & 0xFF]
    return bytes(out)


def encode_value(value, key):
    return base64.b64encode(rc4(key, value))


def decode_value(text, key):
    """The value enciphered by encode_value, or None for a text that is not
    base64 or decodes to nothing."""
    try:
        raw = base64.b64decode(text, validate=True)
    except ValueError:
        return None
    if not raw:
        return None
    return rc4(key, raw)


class LoginGuard:
    """The one account and the per-address lockout.

    fail_count 0 switches the lockout off (no record is kept); lock_minutes
    0 means 60; max_addrs 0 means 10000. `clock` answers milliseconds and may
    be replaced by tests."""

    def __init__(self, user, pwd, fail_count=0, lock_minutes=0, max_addrs=0, clock=None):
        self.user = user
        self.pwd = pwd
        self.fail_count = fail_count
        self.lock_ms = (lock_minutes or 60) * 60000.0
        self.max_addrs = max_addrs or 10000
        self.clock = clock or (lambda: time.monotonic() * 1000.0)
        self.lock = threading.Lock()
        self.addrs = {}  # ip -> {"last": ms, "until": ms, "fails": n}

    def set_account(self, user, pwd):
        with self.lock:
            self.user, self.pwd = user, pwd

    def check_ip(self, ip):
        """None when the address may try, else the refusal text (errno 2)."""
        if self.fail_count <= 0:
            return None
        now = self.clock()
        with self.lock:
            rec = self.addrs.get(ip)
            if rec is None:
                if len(self.addrs) >= self.max_addrs:
                    oldest = min(r["last"] for r in self.addrs.values())
                    for k in [k for k, r in self.addrs.items() if r["last"] == oldest]:
                        del self.addrs[k]
                self.addrs[ip] = {"last": 0.0, "until": 0.0, "fails": 0}
                return None
            if rec["fails"] >= self.fail_count:
                if now < rec["until"]:
                    return "Login failed %d times, Please try again in %0.2f minutes" % (
                        rec["fails"], (rec["until"] - now) / 60000.0)
                rec["fails"] = 0
            return None

    def failed(self, ip):
        if self.fail_count <= 0:
            return
        now = self.clock()
        with self.lock:
            rec = self.addrs.setdefault(ip, {"last": 0.0, "until": 0.0, "fails": 0})
            rec["last"] = now
            rec["fails"] += 1
            if rec["fails"] >= self.fail_count:
                rec["until"] = now + self.lock_ms

    def succeeded(self, ip):
        if self.fail_count <= 0:
            return
        with self.lock:
            self.addrs.pop(ip, None)

    def check_user_pwd(self, ip, user, pwd):
        """(errno, text) of the old login: 0 ok, 1 wrong, 2 locked out. The
        probe user ":" is refused without counting a failure."""
        refused = self.check_ip(ip)
        if refused:
            return 2, refused
        if user != self.user:
            if user != b":":
                self.failed(ip)
            return 1, WRONG_LOGIN
        if pwd not in (self.pwd, password_hash(self.pwd)):
            self.failed(ip)
            return 1, WRONG_LOGIN
        self.succeeded(ip)
        return 0, ""

    def cert_for(self, ip, user):
        """(errno, text, cert, expected key) of the key login's first step."""
        refused = self.check_ip(ip)
        if refused:
            return 2, refused, b"", b""
        if user != self.user:
            self.failed(ip)
            return 1, WRONG_LOGIN, b"", b""
        cert = new_cert()
        return 0, "", cert, login_key(user, self.pwd, cert)

    def check_key(self, ip, key, expected):
        """(errno, text) of the key login's second step."""
        refused = self.check_ip(ip)
        if refused:
            return 2, refused
        if not expected or key != expected:
            self.failed(ip)
            return 1, WRONG_LOGIN
        self.succeeded(ip)
        return 0, ""
