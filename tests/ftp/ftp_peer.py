#!/usr/bin/env python3
"""FTP peers of the FTP driver's tests: pure-ftpd, vsftpd and pyftpdlib run
in the foreground with their own configuration on a free loopback port over
a directory, and a small dialogue server of our own whose answers a test
chooses (for the cases real servers do not produce on demand).

A real server can serve a small tmpfs of its own instead (tmpfs_kb): it
runs in a private mount namespace where a tmpfs of that size lies over the
root (with an empty "pub" in it); with full=True the tmpfs is filled before
the server starts, so every upload meets a full disk from its first byte.
The mount goes away with the server; the machine never sees it.

As a program: `ftp_peer.py KIND --root DIR [--mode M,M...] [--quota MB]`
with KIND pure, vsftpd, pyftpd or dialogue. The first line on stdout is "PORT <n>";
SIGTERM or SIGINT stop it (and the server it runs). In-process:

    with Peer("pure", root) as p:   # p.port
        ...

Accounts: pure-ftpd and pyftpdlib have the user "alice" (password "secret";
pure-ftpd's files owned by PURE_ID, pyftpdlib's by root); vsftpd takes anonymous logins (read-only) and the user "root"
with any password; the dialogue server takes any user and password.

Dialogue modes (comma-separated):
  user230   USER is answered 230 (no password asked)
  nosize    SIZE is answered 500
  nomlsd    MLSD is answered 500 and FEAT does not offer it
  hidemlsd  FEAT does not offer MLSD, which works all the same
  longline  FEAT is answered by one line of 10 MB
  endless   FEAT is answered by a multi-line reply of 10 MB that never ends
  stor552   an upload's final reply is 552 (after taking the data)
  stor451   an upload's final reply is 451
  stall     RETR answers 150 and then sends nothing, holding the data
            connection open
  pasvaway  PASV names 10.0.0.7 instead of the server's own address
  trickle   MLSD of a directory named "trickle" sends the listing, RETR of
            a file named "trickle" the first half of the file; then both
            send "\r\n" once a second and never end the transfer (until
            the client closes the data connection: 426)
  hugelist  MLSD of a directory named "huge" sends valid lines as fast as
            it can, without end (until the client closes: 426)
  idle421   a control connection left without a command for 1 s is
            answered "421 Timeout" and closed, as pure-ftpd does after
            its idle time
  double150 RETR is answered "150" twice before its data and its 226
  badnames  every MLSD listing starts with lines of entries that cannot be
            shown as they stand (BAD_MLSD: names holding CR, '/' or NUL,
            "." and ".." as other than cdir and pdir, a name of 256
            bytes, types that are neither file nor directory)
The dialogue server writes every command line it receives, one per line,
to ROOT/../commands.log (so a test can tell what was sent).
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PURE = "/usr/sbin/pure-ftpd"
VSFTPD = "/opt/zk-peers/vsftpd/usr/sbin/vsftpd"
# pyftpdlib is Debian's python3-pyftpdlib: run by Debian's interpreter, not
# by whichever python3 runs the tests.
DEBIAN_PYTHON = "/usr/bin/python3"
# The account pure-ftpd's user "alice" works as: an id of no system user,
# so that nothing else of the machine shares it.
PURE_ID = 64123


# What mode badnames lists before the real entries of every listing.
BAD_MLSD = [
    "type=file;size=1; cr\rname",
    "type=file;size=1; ends-in-cr\r",
    "type=OS.unix=slink:/etc; link",
    "type=OS.unix=chr-1/3; null",
    "type=file;size=1; a/b",
    "type=file;size=1; .",
    "type=dir; ..",
    "type=file;size=1; nul\0x",
    "type=file;size=1; " + "L" * 256,
]


def free_port():
    """A port free when handed out; anything may take it before the server
    binds it: start() checks who listens and tries another one."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def listening_in_group(port, pgid):
    """Whether 127.0.0.1:port (or *:port) is listened on by a process of the
    process group pgid."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            addr, lport = fields[1].split(":")
            if int(lport, 16) == port and fields[3] == "0A" and addr in ("0100007F", "00000000"):
                inodes.add("socket:[%s]" % fields[9])
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.getpgid(int(pid)) != pgid:
                continue
            for fd in os.listdir("/proc/%s/fd" % pid):
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) in inodes:
                    return True
        except OSError:
            continue
    return False


def wait_listening(port, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            time.sleep(0.02)
    return False


# ---- dialogue server -------------------------------------------------------------------

class Dialogue:
    """A small FTP server over root (one thread per client)."""

    def __init__(self, root, modes=(), log_path=None):
        self.root = os.path.abspath(root)
        self.modes = set(modes)
        self.log_path = log_path
        # The oversized FEAT replies are made before the port is handed
        # out: building 10 MB on a loaded machine could take longer than
        # the client waits for a reply, which would then meet a time-out
        # instead of the size cap.
        self.feat_flood = None
        if "longline" in self.modes:
            self.feat_flood = b"211-" + b"x" * (10 << 20)
        elif "endless" in self.modes:
            self.feat_flood = b"211-Features:\r\n" + b" MLST type*;size*;\r\n" * 500000
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.port = self.sock.getsockname()[1]
        self.stop_flag = False
        self.lock = threading.Lock()
        self.th = threading.Thread(target=self._accept, daemon=True)
        self.th.start()

    def stop(self):
        self.stop_flag = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()

    def _accept(self):
        while not self.stop_flag:
            try:
                c, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._client, args=(c,), daemon=True).start()

    def _log(self, line):
        if self.log_path:
            with self.lock, open(self.log_path, "ab") as f:
                f.write(line + b"\n")

    def _path(self, cwd, arg):
        p = arg if arg.startswith("/") else cwd.rstrip("/") + "/" + arg
        parts = [x for x in p.split("/") if x and x != "."]
        if ".." in parts:
            return None
        return os.path.join(self.root, *parts) if parts else self.root

    def _endless(self, d, p, cmd):
        """A transfer that never ends (modes trickle and hugelist), until
        the client closes the data connection."""
        try:
            if cmd == "RETR":
                with open(p, "rb") as src:
                    data = src.read()
                d.sendall(data[:len(data) // 2])
            elif os.path.basename(p) == "trickle":
                d.sendall(b"type=file;size=1; a\r\n")
            else:
                block = b"".join(b"type=file;size=1; n%07d\r\n" % i for i in range(4096))
                while True:
                    d.sendall(block)
            while True:
                time.sleep(1)
                d.sendall(b"\r\n")
        except OSError:
            pass
        finally:
            d.close()

    def _client(self, c):
        f = c.makefile("rb")
        send = lambda t: c.sendall(t.encode() + b"\r\n")
        cwd, rest, pasv = "/", 0, None
        if "idle421" in self.modes:
            c.settimeout(1.0)
        try:
            send("220 dialogue ready")
            while True:
                try:
                    raw = f.readline()
                except (socket.timeout, TimeoutError):
                    send("421 Timeout - try typing a little faster next time")
                    break
                if not raw:
                    break
                line = raw.rstrip(b"\r\n")
                self._log(line)
                text = line.decode("latin-1")
                cmd, _, arg = text.partition(" ")
                cmd = cmd.upper()
                if cmd == "USER":
                    send("230 welcome" if "user230" in self.modes else "331 password please")
                elif cmd == "PASS":
                    send("230 logged in")
                elif cmd == "SYST":
                    send("215 UNIX Type: L8")
                elif cmd == "FEAT" and self.feat_flood is not None:
                    try:
                        c.sendall(self.feat_flood)
                    except OSError:
                        pass
                    break
                elif cmd == "FEAT":
                    c.sendall(b"211-Features:\r\n211-x is text, not the end\r\n SIZE\r\n")
                    if "nomlsd" not in self.modes and "hidemlsd" not in self.modes:
                        c.sendall(b" MLST type*;size*;modify*;\r\n")
                    send("211 End")
                elif cmd == "TYPE":
                    send("200 TYPE ok")
                elif cmd == "PWD":
                    send('257 "%s" is the current directory' % cwd)
                elif cmd == "CWD":
                    p = self._path(cwd, arg)
                    if p and os.path.isdir(p):
                        cwd = "/" + os.path.relpath(p, self.root) if p != self.root else "/"
                        send("250 ok")
                    else:
                        send("550 no such directory")
                elif cmd == "SIZE":
                    p = self._path(cwd, arg)
                    if "nosize" in self.modes:
                        send("500 unknown command")
                    elif p and os.path.isfile(p):
                        send("213 %d" % os.path.getsize(p))
                    else:
                        send("550 no such file")
                elif cmd == "PASV":
                    if pasv:
                        pasv.close()
                    pasv = socket.socket()
                    pasv.bind(("127.0.0.1", 0))
                    pasv.listen(1)
                    port = pasv.getsockname()[1]
                    host = "10,0,0,7" if "pasvaway" in self.modes else "127,0,0,1"
                    send("227 Entering Passive Mode (%s,%d,%d)." % (host, port >> 8, port & 255))
                elif cmd == "REST":
                    rest = int(arg)
                    send("350 restarting at %d" % rest)
                elif cmd in ("RETR", "STOR", "APPE", "MLSD"):
                    p = self._path(cwd, arg) if cmd != "MLSD" else self._path(cwd, "")
                    if cmd == "MLSD" and "nomlsd" in self.modes:
                        send("500 unknown command")
                        continue
                    if pasv is None:
                        send("425 no data connection")
                        continue
                    if cmd == "RETR" and not (p and os.path.isfile(p)):
                        send("550 no such file")
                        continue
                    pasv.settimeout(10)
                    try:
                        d, _ = pasv.accept()
                    except OSError:
                        send("425 no data connection")
                        continue
                    finally:
                        pasv.close()
                        pasv = None
                    send("150 opening data connection")
                    if cmd == "RETR" and "double150" in self.modes:
                        send("150 opening data connection, again")
                    name = os.path.basename(p)
                    if ("trickle" in self.modes and name == "trickle" and cmd in ("RETR", "MLSD")) or \
                            ("hugelist" in self.modes and name == "huge" and cmd == "MLSD"):
                        self._endless(d, p, cmd)
                        send("426 transfer aborted")
                        continue
                    if cmd == "STOR":
                        open(p, "wb").close()  # made at once, as real servers do
                    if cmd == "RETR":
                        if "stall" in self.modes:
                            time.sleep(6)
                            d.close()
                            send("426 stalled")
                            continue
                        with open(p, "rb") as src:
                            src.seek(rest)
                            try:
                                shutil.copyfileobj(src, d.makefile("wb"))
                            except OSError:
                                pass
                        rest = 0
                        d.close()
                        send("226 done")
                    elif cmd == "MLSD":
                        out = list(BAD_MLSD) if "badnames" in self.modes else []
                        for n in sorted(os.listdir(p)):
                            st = os.stat(os.path.join(p, n))
                            t = time.strftime("%Y%m%d%H%M%S", time.gmtime(st.st_mtime))
                            if os.path.isdir(os.path.join(p, n)):
                                out.append("type=dir;modify=%s; %s" % (t, n))
                            else:
                                out.append("type=file;size=%d;modify=%s; %s" % (st.st_size, t, n))
                        d.sendall("".join(x + "\r\n" for x in out).encode())
                        d.close()
                        send("226 listing done")
                    else:
                        data = b""
                        while True:
                            b = d.recv(65536)
                            if not b:
                                break
                            data += b
                        d.close()
                        if "stor552" in self.modes:
                            send("552 quota exceeded")
                            continue
                        if "stor451" in self.modes:
                            send("451 local error")
                            continue
                        with open(p, "ab" if cmd == "APPE" else "wb") as dst:
                            dst.write(data)
                        send("226 stored")
                elif cmd == "MKD":
                    p = self._path(cwd, arg)
                    try:
                        os.mkdir(p)
                        send('257 "%s" created' % arg)
                    except OSError:
                        send("550 cannot create")
                elif cmd == "QUIT":
                    send("221 bye")
                    break
                else:
                    send("502 not implemented")
        except OSError:
            pass
        finally:
            c.close()


# ---- real servers ------------------------------------------------------------------------

class Peer:
    """One FTP server over root on a free loopback port (kind "pure",
    "vsftpd", "pyftpd" or "dialogue"); a context manager that stops it."""

    def __init__(self, kind, root, modes=(), quota_mb=0, tmpfs_kb=0, full=False):
        self.kind, self.root = kind, os.path.abspath(root)
        self.modes, self.quota_mb = modes, quota_mb
        self.tmpfs_kb, self.full = tmpfs_kb, full
        self.proc = None
        self.dialogue = None
        self.work = tempfile.mkdtemp(prefix="zkftp-")
        self.port = 0

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        if self.kind == "dialogue":
            self.dialogue = Dialogue(self.root, self.modes, os.path.join(self.work, "commands.log"))
            self.port = self.dialogue.port
            return
        for _ in range(5):
            self.port = free_port()
            cmd = {"pure": self._pure, "vsftpd": self._vsftpd, "pyftpd": self._pyftpd}[self.kind]()
            if self.tmpfs_kb:
                cmd = self._on_tmpfs(cmd)
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL, start_new_session=True)
            # Ours, not another process that took the port first.
            if wait_listening(self.port, 30) and self.proc.poll() is None and \
                    listening_in_group(self.port, self.proc.pid):
                return
            self._kill()
        raise RuntimeError("%s did not start" % self.kind)

    @property
    def commands_log(self):
        return os.path.join(self.work, "commands.log")

    def commands(self):
        try:
            with open(self.commands_log, "rb") as f:
                return f.read().decode("latin-1").splitlines()
        except OSError:
            return []

    def _pure(self):
        uid = PURE_ID
        os.chown(self.root, uid, uid)
        h = subprocess.run(["openssl", "passwd", "-6", "secret"], capture_output=True, text=True,
                           check=True, timeout=30).stdout.strip()
        pw = os.path.join(self.work, "pw")
        # name:hash:uid:gid:gecos:home/./:  ... (pure-pw's fields; the
        # quota size in bytes is the 11th field after the home)
        fields = ["alice", h, str(uid), str(uid), "", self.root + "/./"] + [""] * 12
        if self.quota_mb:
            fields[12] = str(self.quota_mb * 1024 * 1024)
        with open(pw, "w") as f:
            f.write(":".join(fields) + "\n")
        pdb = os.path.join(self.work, "pw.pdb")
        subprocess.run(["pure-pw", "mkdb", pdb, "-f", pw], check=True, capture_output=True, timeout=30)
        cmd = [PURE, "-S", "127.0.0.1,%d" % self.port, "-l", "puredb:" + pdb, "-E", "-H", "-A", "-u", "1"]
        if self.quota_mb:
            cmd += ["-n", "100000:%d" % self.quota_mb]
        return cmd

    def _pyftpd(self):
        return [DEBIAN_PYTHON, "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(self.port), "-d", self.root,
                "-w", "-u", "alice", "-P", "secret"]

    def _on_tmpfs(self, cmd):
        owner = PURE_ID if self.kind == "pure" else 0
        script = ('mount -t tmpfs -o size="$2"k,mode=755 zkftp "$1" || exit 1\n'
                  'mkdir "$1/pub" && chown "$3:$3" "$1" "$1/pub" || exit 1\n')
        if self.full:
            # Until the disk is full (dd then fails, as it should).
            script += 'dd if=/dev/zero of="$1/fill" bs=4096 2>/dev/null\n'
        script += 'shift 3\nexec "$@"\n'
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", self.root,
                str(self.tmpfs_kb), str(owner)] + cmd

    def kill(self):
        """Kills the server at once (SIGKILL to its whole process group), as a
        crash or a pulled cable would end it."""
        if self.proc and self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait(10)

    def _vsftpd(self):
        empty = os.path.join(self.work, "empty")
        os.makedirs(empty, exist_ok=True)
        os.chown(self.root, 0, 0)
        os.chmod(self.root, 0o755)
        # Logins of "root" go through a service of our own that takes any
        # password. It lives in a directory of our own that the server sees
        # as /etc/pam.d in a private mount namespace: the machine's PAM
        # configuration never changes.
        pam_dir = os.path.join(self.work, "pam.d")
        os.makedirs(pam_dir, exist_ok=True)
        with open(os.path.join(pam_dir, "zkftp"), "w") as f:
            f.write("auth required pam_permit.so\naccount required pam_permit.so\n"
                    "session required pam_permit.so\n")
        conf = os.path.join(self.work, "vsftpd.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "listen_port=%d" % self.port,
                "background=NO", "anonymous_enable=YES", "anon_root=" + self.root, "no_anon_password=NO",
                "ftp_username=daemon", "local_enable=YES", "write_enable=YES", "local_root=" + self.root,
                "check_shell=NO", "chroot_local_user=YES", "allow_writeable_chroot=YES", "pam_service_name=zkftp",
                "secure_chroot_dir=" + empty, "seccomp_sandbox=NO", "userlist_enable=NO",
                "xferlog_enable=NO", "vsftpd_log_file=" + os.path.join(self.work, "log"), ""]))
        return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                'mount --bind "$1" /etc/pam.d && exec "$2" "$3"', "sh", pam_dir, VSFTPD, conf]

    def _kill(self):
        if self.proc and self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                try:
                    os.killpg(self.proc.pid, signal.SIGKILL)
                except OSError:
                    pass
                self.proc.wait(5)
        self.proc = None

    def stop(self):
        if self.dialogue:
            self.dialogue.stop()
        self._kill()
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    import argparse
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=["pure", "vsftpd", "pyftpd", "dialogue"])
    ap.add_argument("--root", required=True)
    ap.add_argument("--mode", default="")
    ap.add_argument("--quota", type=int, default=0)
    a = ap.parse_args()
    peer = Peer(a.kind, a.root, [m for m in a.mode.split(",") if m], a.quota)
    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    peer.start()
    print("PORT %d" % peer.port, flush=True)
    print("WORK %s" % peer.work, flush=True)
    try:
        while not done.wait(0.2):
            if peer.proc and peer.proc.poll() is not None:
                break
    finally:
        peer.stop()


if __name__ == "__main__":
    main()
