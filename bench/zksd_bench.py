#!/usr/bin/env python3
"""Times remote mounts of one directory on one machine, in one run: zkue
zkp:// (and optionally zkps://) mounts of the project's zksd test server,
beside sshfs to a local sshd (its default cipher) on the same files.

Rows (--rows, comma-separated; the default set is marked *):
  ls1k*   `ls -l` of a directory of 1,000 files, cold (a new directory each
          round, so every mount sees it for the first time);
  ls8k    `ls -l` of a directory of 8,000 files, cold;
  ls10k*  `ls -l` of a directory of 10,000 files, cold;
  stat2k* os.stat of 2,000 files (20 directories) right after a `find` of
          their tree (the find is not timed);
  stat10k* an os.stat loop over ls10k's 10,000 files right after it;
  find10k* `find` of a 10,000-file tree (100 directories), cold;
  git*    `git status` in a 2,000-file repository, warm: run once, then
          again after 1.5 s (past zkue's metadata window), the second timed;
          every target has a repository of its own, so that one target's
          rewritten .git/index never stales another's cache;
  create* create 200 empty files in a new directory;
  cp_in*  `cp` of a --size-mib file (default 32 MiB) from local disk into
          the mount (the copy's close included);
  cp_out* `cp` of a --size-mib file out of the mount to local disk, the
          mount's cached pages of it dropped first;
  tar5k*  `tar x` of the first --tar-files regular files (default 5,000)
          of /usr/include with their directories, into a new directory;
  tar2k*  `tar x` of 2,000 files of 1 KiB in 4 directories of 500;
  write, read  sequential write (dd, 1 MiB blocks, fsync) and read (dd, the
          cached pages dropped first) of a --size-mib file;
  walk    a stat walk of a 10,000-file tree.

Every row runs --rounds times; in each round every target runs once, the
targets' order rotated from round to round. For each row it prints the
median seconds of each target, zkue's requests per timed run and per
operation (per file for the file rows, per MiB for the data rows; counted in
the test server's request log; a row's untimed warm-up is not counted), and
the time ratios against sshfs (above 1: zkue slower) as min / median / max
over the rounds.

--latency lists the round trips to run every row at, in ms (default
0,1,5): for each non-zero one the mounts reach their servers through a small
relay of this script that holds every chunk half the round trip in each
direction (the machine's own loopback is never touched; netem is not
needed). Each round trip is a pass of its own with fresh servers and mounts.

--cap bounds a slow run: a command that outlasts it is stopped, the figure
reads ">cap" and that target's later rounds of the row in the same pass are
not run (a slow row then costs one cap per pass, not one per round).

--ports FIRST-LAST makes every port the script listens on (zksd servers,
sshd, relays) come from that range, so that it can run beside other work
that takes free ports; each pass needs up to two ports per target.

Everything lives in a temporary directory: the served tree, the sshd host
key, the client key and its authorized_keys, the sshd configuration; every
process is stopped and every mount unmounted at the end. Run as root (FUSE
mounts, sshd). sshfs and openssh-server (Debian packages) come from
scripts/install-deps.sh. Usage:

    python3 bench/zksd_bench.py [--zkue PATH] [--dir WORKDIR] [--rounds N]
                                [--latency 0,1,5] [--rows ls1k,cp_in,...]
                                [--targets zkp,zkps,sshfs] [--size-mib N]
                                [--tar-files N] [--cap SECONDS]
                                [--ports FIRST-LAST] [--query a=b&c=d]
"""
import argparse
import errno
import os
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_mount import drop_page_cache, unmount, wait_mounted  # noqa: E402
SERVER = os.path.join(HERE, "..", "tests", "zksd_server", "zksd_server.py")


class Capped(Exception):
    """A timed command outlasted the cap and was stopped."""


def quiet(cmd, timeout=1800, **kw):
    """Runs cmd without its output; a failure raises with the end of what it
    said on stderr."""
    try:
        r = subprocess.run(cmd, timeout=timeout, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kw)
    except subprocess.TimeoutExpired:
        raise Capped()
    if r.returncode != 0:
        raise RuntimeError("%s: status %d: %s" % (" ".join(cmd[:3]), r.returncode, r.stderr[-2000:].decode(
            errors="replace")))
    return r


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=15)


class Ports:
    """The ports this script listens on: free ones chosen by the system, or,
    with a range FIRST-LAST, the next port of the range that nothing holds
    (the range is walked round, a port handed out again only after every
    other one)."""

    def __init__(self, spec):
        self.lo = self.hi = None
        if spec:
            try:
                lo, hi = (int(x) for x in spec.split("-"))
            except ValueError:
                raise SystemExit("--ports wants FIRST-LAST, e.g. 41000-41099")
            if not 0 < lo <= hi < 65536:
                raise SystemExit("--ports %s: not a range of ports" % spec)
            self.lo, self.hi = lo, hi
            self.next = lo

    def listen(self):
        """A listening loopback socket on a port of the range (any free one
        without a range)."""
        if self.lo is None:
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            s.listen(16)
            return s
        for _ in range(self.hi - self.lo + 1):
            port = self.next
            self.next = self.lo if port >= self.hi else port + 1
            s = socket.socket()
            try:
                s.bind(("127.0.0.1", port))
                s.listen(16)
                return s
            except OSError as e:
                s.close()
                if e.errno != errno.EADDRINUSE:
                    raise
        raise SystemExit("--ports: no free port left in %d-%d" % (self.lo, self.hi))

    def take(self, zero_ok=False):
        """A port for another program to listen on, free when asked; 0
        (the program's own choice) without a range when zero_ok."""
        if self.lo is None and zero_ok:
            return 0
        s = self.listen()
        port = s.getsockname()[1]
        s.close()
        return port

    def tries(self):
        return 1 if self.lo is None else min(8, self.hi - self.lo + 1)


# The test server is Python: every request's 2 MiB buffers are fresh
# allocations, which glibc maps and unmaps each time, so that every page of
# every block is faulted in again (dearly under virtualisation). Larger
# thresholds keep them in the heap; without them the server, not the mount,
# sets the write figure (about 60 MB/s here).
SERVER_ENV = {"MALLOC_MMAP_THRESHOLD_": str(128 << 20), "MALLOC_TRIM_THRESHOLD_": str(512 << 20),
              "MALLOC_TOP_PAD_": str(64 << 20)}


def start_zksd(root, ports, extra=()):
    """The test server on a port of `ports`; (process, port)."""
    env = dict(os.environ)
    env.update(SERVER_ENV)
    line = ""
    for _ in range(ports.tries()):
        p = subprocess.Popen([sys.executable, SERVER, "--root", root, "--user", "u", "--password", "p",
                              "--port", str(ports.take(zero_ok=True))] + list(extra),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True, env=env)
        ready, _, _ = select.select([p.stdout], [], [], 30)
        line = p.stdout.readline().decode() if ready else ""
        if line.startswith("PORT "):
            return p, int(line.split()[1])
        stop(p)
    raise RuntimeError("zksd test server did not start: %r" % line)


def start_sshd(tmp, ports):
    """A throwaway sshd on a loopback port of `ports` that lets root in with
    a throwaway key; (process, port, identity file)."""
    d = os.path.join(tmp, "ssh")
    os.makedirs(d, mode=0o700)
    host_key, ident = os.path.join(d, "host_ed25519"), os.path.join(d, "id_ed25519")
    quiet(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key])
    quiet(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", ident])
    auth = os.path.join(d, "authorized_keys")
    shutil.copy(ident + ".pub", auth)
    os.makedirs("/run/sshd", exist_ok=True)
    for _ in range(ports.tries()):
        port = ports.take()
        conf = os.path.join(d, "sshd_config")
        with open(conf, "w") as f:
            f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s\nAuthorizedKeysFile %s\nPidFile %s\n"
                    "PermitRootLogin prohibit-password\nPasswordAuthentication no\nUsePAM no\nStrictModes no\n"
                    "Subsystem sftp /usr/lib/openssh/sftp-server\n" % (port, host_key, auth, os.path.join(d, "pid")))
        p = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", conf], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, start_new_session=True)
        end = time.monotonic() + 15
        while time.monotonic() < end and p.poll() is None:
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", port)) == 0:
                    return p, port, ident
            time.sleep(0.05)
        stop(p)
    raise RuntimeError("sshd did not start")


def timed(fn):
    t = time.monotonic()
    fn()
    return time.monotonic() - t


def make_files(d, n, per_dir=None, size=1):
    """n files of `size` bytes under d (in per_dir-file subdirectories when
    given); their paths relative to d."""
    names = [("d%03d/f%05d" % (i // per_dir, i)) if per_dir else "f%05d" % i for i in range(n)]
    data = b"x" * size
    for rel in names:
        p = os.path.join(d, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
    return names


def make_random(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 1 << 20)
            f.write(os.urandom(n))
            left -= n


def include_tar(path, nfiles):
    """A tar of the first nfiles regular files (sorted) of /usr/include with
    the directories that hold them; answers how many it holds. Links are
    left out: sftp's set-attribute calls follow them, so tar's owner and
    time calls on a link whose target comes later fail on sshfs."""
    entries, files = [], 0
    for d, dirs, names in os.walk("/usr/include"):
        dirs.sort()
        rel = os.path.relpath(d, "/usr")
        entries.append(rel)
        for n in sorted(names):
            if files == nfiles:
                break
            if os.path.islink(os.path.join(d, n)) or not os.path.isfile(os.path.join(d, n)):
                continue
            entries.append(os.path.join(rel, n))
            files += 1
        if files == nfiles:
            break
    lst = path + ".list"
    with open(lst, "w") as f:
        f.write("\n".join(entries) + "\n")
    quiet(["tar", "cf", path, "-C", "/usr", "--no-recursion", "-T", lst])
    os.unlink(lst)
    return files


class Rows:
    """The rows: prepare_once() and prepare(round) make their files on the
    served side (never through a mount); run(row, round, mnt, target)
    times one row on one mount and answers seconds. ROWS says how many
    operations (files or MiB) one run of each row is, for the requests per
    operation."""

    def __init__(self, a, served, tmp):
        self.served, self.tmp, self.size = served, tmp, a.size_mib << 20
        self.cap, self.tar_files = a.cap, a.tar_files
        self.names2k = self.names10k = None
        self.units = {"ls1k": 1000, "ls8k": 8000, "ls10k": 10000, "stat2k": 2000, "stat10k": 10000,
                      "find10k": 10000, "git": 2000, "create": 200, "tar2k": 2000, "walk": 10000}
        for r in ("cp_in", "cp_out", "write", "read"):
            self.units[r] = a.size_mib
        self.units["tar5k"] = a.tar_files

    def unit(self, row):
        return "MiB" if row in ("cp_in", "cp_out", "write", "read") else "file"

    def prepare_once(self, rows, targets):
        if "git" in rows:
            for t in targets:
                repo = os.path.join(self.served, "repo_" + t)
                make_files(repo, 2000, per_dir=100)
                quiet(GIT + ["init", "-q", repo])
                quiet(GIT + ["-C", repo, "add", "-A"])
                quiet(GIT + ["-C", repo, "-c", "user.name=b", "-c", "user.email=b@b", "commit", "-qm", "x"])
        if "walk" in rows:
            make_files(os.path.join(self.served, "walk"), 10000, per_dir=100)
        if {"read", "write", "cp_in", "cp_out"} & set(rows):
            src = os.path.join(self.tmp, "src.bin")
            make_random(src, self.size)
            shutil.copy(src, os.path.join(self.served, "r.bin"))
        if "tar5k" in rows:
            self.units["tar5k"] = include_tar(os.path.join(self.tmp, "tar5k.tar"), self.tar_files)
        if "tar2k" in rows:
            src = os.path.join(self.tmp, "tar2k")
            make_files(src, 2000, per_dir=500, size=1024)
            quiet(["tar", "cf", os.path.join(self.tmp, "tar2k.tar"), "-C", src, "."])
            shutil.rmtree(src)

    def prepare(self, rows, r, targets):
        base = os.path.join(self.served, "r%d" % r)
        for row, n in (("ls1k", 1000), ("ls8k", 8000)):
            if row in rows:
                make_files(os.path.join(base, row), n)
        if "stat2k" in rows:
            self.names2k = make_files(os.path.join(base, "stat2k"), 2000, per_dir=100)
        if "ls10k" in rows or "stat10k" in rows:
            self.names10k = make_files(os.path.join(base, "ls10k"), 10000)
        if "find10k" in rows:
            make_files(os.path.join(base, "find10k"), 10000, per_dir=100)
        for row in ("create", "tar5k", "tar2k"):
            if row in rows:
                for t in targets:
                    os.makedirs(os.path.join(base, "%s_%s" % (row, t)))

    def run(self, row, r, mnt, target, mark=lambda: None):
        """mark() is called when the timed part starts (the requests before
        it, of a warm-up, are not counted). Raises Capped when a timed
        command outlasts the cap."""
        base = os.path.join(mnt, "r%d" % r)
        cap = self.cap
        if row in ("ls1k", "ls8k", "ls10k"):
            d = os.path.join(base, "ls10k" if row == "ls10k" else row)
            return timed(lambda: run_ls(d, self.units[row], cap))
        if row == "stat2k":
            run_find(os.path.join(base, "stat2k"), 2000)
            mark()
            return timed(lambda: stat_all(os.path.join(base, "stat2k"), self.names2k))
        if row == "git":
            repo = os.path.join(mnt, "repo_" + target)
            git_status(repo)
            time.sleep(1.5)
            mark()
            return timed(lambda: git_status(repo, cap))
        if row == "stat10k":
            return timed(lambda: stat_all(os.path.join(base, "ls10k"), self.names10k))
        if row == "find10k":
            return timed(lambda: run_find(os.path.join(base, "find10k"), 10000, cap))
        if row == "create":
            d = os.path.join(base, "create_" + target)

            def create():
                for i in range(200):
                    with open(os.path.join(d, "c%03d" % i), "w"):
                        pass
            return timed(create)
        if row in ("tar5k", "tar2k"):
            d = os.path.join(base, "%s_%s" % (row, target))
            return timed(lambda: quiet(["tar", "xf", os.path.join(self.tmp, row + ".tar"), "-C", d], cap))
        if row == "cp_in":
            name = "cpin_%s_%d.bin" % (target, r)
            try:
                return timed(lambda: quiet(["cp", os.path.join(self.tmp, "src.bin"), os.path.join(mnt, name)], cap))
            finally:
                os.unlink(os.path.join(self.served, name))
        if row == "cp_out":
            p = os.path.join(mnt, "r.bin")
            out = os.path.join(self.tmp, "out.bin")
            drop_page_cache(p)
            try:
                return timed(lambda: quiet(["cp", p, out], cap))
            finally:
                if os.path.exists(out):
                    os.unlink(out)
        if row == "write":
            w = os.path.join(mnt, "w_%s_%d.bin" % (target, r))
            try:
                return timed(lambda: quiet(["dd", "if=" + os.path.join(self.tmp, "src.bin"), "of=" + w, "bs=1M",
                                            "conv=fsync"], cap))
            finally:
                os.unlink(os.path.join(self.served, os.path.basename(w)))
        if row == "read":
            p = os.path.join(mnt, "r.bin")
            drop_page_cache(p)
            return timed(lambda: quiet(["dd", "if=" + p, "of=/dev/null", "bs=1M"], cap))
        if row == "walk":
            return timed(lambda: [os.lstat(os.path.join(d, n)) for d, _, ns in os.walk(os.path.join(mnt, "walk"))
                                  for n in ns])
        raise SystemExit("unknown row %s" % row)


def run_ls(d, n, cap=1800):
    try:
        out = subprocess.run(["ls", "-l", d], capture_output=True, check=True, timeout=cap).stdout
    except subprocess.TimeoutExpired:
        raise Capped()
    if out.count(b"\n") < n:
        raise RuntimeError("ls -l %s listed %d of %d" % (d, out.count(b"\n"), n))


def run_find(d, n, cap=1800):
    try:
        out = subprocess.run(["find", d], capture_output=True, check=True, timeout=cap).stdout
    except subprocess.TimeoutExpired:
        raise Capped()
    if out.count(b"\n") < n:
        raise RuntimeError("find %s saw %d of %d" % (d, out.count(b"\n"), n))


def stat_all(d, names):
    for rel in names:
        os.stat(os.path.join(d, rel))


GIT = ["git", "-c", "safe.directory=*", "-c", "core.untrackedCache=false", "-c", "gc.auto=0"]


def git_status(d, cap=1800):
    quiet(GIT + ["status", "--porcelain"], cap, cwd=d)


class Relay:
    """A loopback TCP relay, listening on the socket `ls`, to port that
    holds every chunk `delay` seconds in each direction, as a network with
    that one-way latency would."""

    def __init__(self, port, delay, ls):
        self.target, self.delay, self.ls = port, delay, ls
        self.port = self.ls.getsockname()[1]
        self.socks = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                c, _ = self.ls.accept()
            except OSError:
                return
            u = socket.create_connection(("127.0.0.1", self.target))
            for s in (c, u):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self.socks += [c, u]
            for src, dst in ((c, u), (u, c)):
                q = []
                cv = threading.Condition()
                threading.Thread(target=self.pump_in, args=(src, q, cv), daemon=True).start()
                threading.Thread(target=self.pump_out, args=(dst, q, cv), daemon=True).start()

    def pump_in(self, src, q, cv):
        while True:
            try:
                data = src.recv(1 << 20)
            except OSError:
                data = b""
            with cv:
                q.append((time.monotonic() + self.delay, data))
                cv.notify()
            if not data:
                return

    def pump_out(self, dst, q, cv):
        while True:
            with cv:
                while not q:
                    cv.wait()
                due, data = q.pop(0)
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not data:
                    dst.shutdown(socket.SHUT_WR)
                    return
                dst.sendall(data)
            except OSError:
                return

    def close(self):
        for s in [self.ls] + self.socks:
            try:
                s.close()
            except OSError:
                pass


class ReqLog:
    """Counts the frames the test server logged since the last call."""

    def __init__(self, path):
        self.path, self.pos = path, 0

    def take(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.pos)
                data = f.read()
        except FileNotFoundError:
            return 0
        end = data.rfind(b"\n") + 1
        self.pos += end
        return sum(1 for line in data[:end].splitlines() if b'"event": "request"' in line)


def phase(a, ports, rows, targets, rtt_ms):
    """One pass of every row and round with rtt_ms added to every round
    trip; ({row: {target: [(seconds, requests, capped)]}}, operations per
    row)."""
    delay = rtt_ms / 2000.0
    tmp = tempfile.mkdtemp(prefix="zk_zksd_bench_", dir=a.dir)
    served = os.path.join(tmp, "served")
    os.makedirs(served)
    procs, mounts, logs, relays = [], [], {}, []

    def via(port):
        if not delay:
            return port
        relays.append(Relay(port, delay, ports.listen()))
        return relays[-1].port

    res = {row: {t: [] for t in targets} for row in rows}
    try:
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZK_") and k != "http_proxy"}
        R = Rows(a, served, tmp)
        R.prepare_once(rows, targets)
        cert = os.path.join(tmp, "c.pem")
        key = os.path.join(tmp, "k.pem")
        if "zkps" in targets:
            quiet(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"], timeout=60)
        mnts = {}
        for name in targets:
            mnt = os.path.join(tmp, "m_" + name)
            os.makedirs(mnt)
            if name in ("zkp", "zkps"):
                log = os.path.join(tmp, "req_%s.log" % name)
                extra = ["--log", log] + (["--cert", cert, "--key", key] if name == "zkps" else [])
                sp, port = start_zksd(served, ports, extra)
                procs.append(sp)
                logs[name] = ReqLog(log)
                url = "%s://u:p@127.0.0.1:%d/" % (name, via(port))
                p = subprocess.Popen([a.zkue, "-u", url, "-m", mnt, "-r",
                                      "&".join(["options=rw"] + ([a.query] if a.query else [])), "-l", "err"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=tmp)
            elif name == "sshfs":
                sp, port, ident = start_sshd(tmp, ports)
                procs.append(sp)
                p = subprocess.Popen(["sshfs", "-f", "root@127.0.0.1:" + served, mnt, "-p", str(via(port)), "-o",
                                      "IdentityFile=%s,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,"
                                      "BatchMode=yes" % ident],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            else:
                raise SystemExit("unknown target %s" % name)
            procs.append(p)
            mounts.append(mnt)
            wait_mounted(mnt, p)
            mnts[name] = mnt
        capped = set()
        for r in range(a.rounds):
            R.prepare(rows, r, targets)
            # What was made on the served side is seen through a mount
            # within its metadata window (zkue: 1 s): wait it out, so that
            # every row starts cold and finds its files.
            time.sleep(1.2)
            order = targets[r % len(targets):] + targets[:r % len(targets)]
            for row in rows:
                for t in order:
                    if (row, t) in capped:
                        res[row][t].append((a.cap, 0, True))
                        continue
                    mark = logs[t].take if t in logs else (lambda: None)
                    mark()
                    try:
                        sec, cut = R.run(row, r, mnts[t], t, mark), False
                    except Capped:
                        sec, cut = a.cap, True
                        capped.add((row, t))
                    n = logs[t].take() if t in logs else 0
                    res[row][t].append((sec, n, cut))
            print("%g ms: round %d done (%s)" % (rtt_ms, r + 1, ",".join(order)), file=sys.stderr, flush=True)
    finally:
        for m in mounts:
            unmount(m)
        for p in reversed(procs):
            stop(p)
        for r in relays:
            r.close()
        shutil.rmtree(tmp, ignore_errors=True)
    return res, R


def report(title, res, R, targets):
    print("\n%s" % title)
    zk = [t for t in targets if t != "sshfs"]
    hdr = ["row"] + ["%s s (median)" % t for t in targets]
    hdr += ["%s requests" % t for t in zk] + ["%s requests per op" % t for t in zk]
    if "sshfs" in targets:
        hdr += ["%s/sshfs min / median / max" % t for t in zk]
    print("| %s |" % " | ".join(hdr))
    print("|%s" % ("---|" * len(hdr)))
    for row, per in res.items():
        cells = [row]
        for t in targets:
            runs = per[t]
            med = statistics.median(x[0] for x in runs)
            # A median at the cap is a lower bound only.
            cells.append((">%.0f" if any(x[2] for x in runs) and med >= R.cap else "%.3f") % med)
        for t in zk:
            done = [x[1] for x in per[t] if not x[2]]
            # Only capped runs: what the stopped one had asked (at least).
            cells.append("%d" % statistics.median(done) if done else
                         ">%d" % max(x[1] for x in per[t]))
        for t in zk:
            done = [x[1] for x in per[t] if not x[2]]
            units = R.units[row]
            cells.append("%.1f / %s" % (statistics.median(done) / units, R.unit(row)) if done else "(capped)")
        if "sshfs" in targets:
            for t in zk:
                q = [x[0] / y[0] for x, y in zip(per[t], per["sshfs"]) if y[0] > 0]
                # With zkue capped the figures are lower bounds, with sshfs
                # capped upper ones; with both, unknown.
                zcut, scut = any(x[2] for x in per[t]), any(x[2] for x in per["sshfs"])
                m = "?" if zcut and scut else ">" if zcut else "<" if scut else ""
                cells.append("%s%.2f / %s%.2f / %s%.2f" % (m, min(q), m, statistics.median(q), m, max(q))
                             if q else "-")
        print("| %s |" % " | ".join(cells), flush=True)


DEFAULT_ROWS = "ls1k,stat2k,git,ls10k,stat10k,find10k,create,cp_in,cp_out,tar5k,tar2k"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--zkue", default=os.environ.get("ZKUE") or os.path.join(HERE, "..", "build", "src", "opt",
                                                                                 "zkue", "zkue"))
    ap.add_argument("--dir", default=None)
    ap.add_argument("--size-mib", type=int, default=32, help="file size of cp_in, cp_out, write, read")
    ap.add_argument("--tar-files", type=int, default=5000, help="files of /usr/include in tar5k")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--rows", default=DEFAULT_ROWS)
    ap.add_argument("--targets", default="zkp,sshfs")
    ap.add_argument("--latency", default="0,1,5", help="round trips to add, in ms, one pass each (default 0,1,5)")
    ap.add_argument("--cap", type=float, default=600, help="seconds after which a timed command is stopped")
    ap.add_argument("--ports", default=None, help="FIRST-LAST: listen only on ports of this range")
    ap.add_argument("--query", default="", help="extra zkue mount options (a=b&c=d) for a profile")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root")
    a.zkue = os.path.abspath(a.zkue)
    try:
        rtts = [float(x) for x in a.latency.split(",")]
    except ValueError:
        sys.exit("--latency wants round trips in ms, e.g. 0,1,5")
    if any(x < 0 for x in rtts) or a.size_mib < 1 or a.tar_files < 1 or a.rounds < 1 or a.cap <= 0:
        sys.exit("--latency, --size-mib, --tar-files, --rounds and --cap must be positive")
    ports = Ports(a.ports)
    if not shutil.which("sshfs") or not os.path.exists("/usr/sbin/sshd"):
        quiet(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")], timeout=900)
    rows, targets = a.rows.split(","), a.targets.split(",")
    for rtt in rtts:
        res, R = phase(a, ports, rows, targets, rtt)
        title = "round trip +%g ms" % rtt if rtt else "no added latency"
        report("%s (%d rounds, order rotated)" % (title, a.rounds), res, R, targets)


if __name__ == "__main__":
    main()
