#!/usr/bin/env python3
"""Times remote mounts of one directory on one machine, in one run: a zkue
zkp:// mount and a zkue zkps:// mount of the project's zksd test server,
beside sshfs to a local sshd (its default cipher) on the same files:

  - sequential write of a 1 GiB file (1 MiB blocks, ending with fsync);
  - sequential read of a 1 GiB file (1 MiB blocks, the mount's own page
    cache of the file dropped first, the server's warm);
  - a stat walk over 10,000 files in 100 directories (made beside the
    mounts, so each mount sees them for the first time).

"zkps-chacha" is a zkps mount whose server offers only ChaCha20-Poly1305.

The data is random, so that no compressing codec has it easy. It prints the
figures and the ratios against sshfs (above 1: zkue is faster for the
throughputs, slower for the walk's seconds).

Everything lives in a temporary directory: the served tree, the sshd host
key, the client key and its authorized_keys, the sshd configuration; sshd
listens on a free loopback port and every process is stopped at the end.
Run as root (FUSE mounts, sshd). sshfs and openssh-server (Debian packages)
come from scripts/install-deps.sh. Usage:

    python3 bench/zksd_bench.py [--zkue PATH] [--dir WORKDIR] [--size-mib N] [--files N]
                                [--targets zkp,zkps,zkps-chacha,sshfs] [--query a=b&c=d]
"""
import argparse
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from bench_mount import drop_page_cache, unmount, wait_mounted  # noqa: E402
SERVER = os.path.join(HERE, "..", "tests", "zksd_server", "zksd_server.py")


def quiet(cmd, timeout=1800, **kw):
    return subprocess.run(cmd, check=True, timeout=timeout, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          **kw)


def stop(proc):
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=15)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The test server is Python: every request's 2 MiB buffers are fresh
# allocations, which glibc maps and unmaps each time, so that every page of
# every block is faulted in again (dearly under virtualisation). Larger
# thresholds keep them in the heap; without them the server, not the mount,
# sets the write figure (about 60 MB/s here).
SERVER_ENV = {"MALLOC_MMAP_THRESHOLD_": str(128 << 20), "MALLOC_TRIM_THRESHOLD_": str(512 << 20),
              "MALLOC_TOP_PAD_": str(64 << 20)}


def start_zksd(root, extra=()):
    """The test server on a free port; (process, port)."""
    env = dict(os.environ)
    env.update(SERVER_ENV)
    p = subprocess.Popen([sys.executable, SERVER, "--root", root, "--user", "u", "--password", "p"] + list(extra),
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True, env=env)
    ready, _, _ = select.select([p.stdout], [], [], 30)
    line = p.stdout.readline().decode() if ready else ""
    if not line.startswith("PORT "):
        stop(p)
        raise RuntimeError("zksd test server did not start: %r" % line)
    return p, int(line.split()[1])


def start_sshd(tmp):
    """A throwaway sshd on a free loopback port that lets root in with a
    throwaway key; (process, port, identity file)."""
    d = os.path.join(tmp, "ssh")
    os.makedirs(d, mode=0o700)
    host_key, ident = os.path.join(d, "host_ed25519"), os.path.join(d, "id_ed25519")
    quiet(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", host_key])
    quiet(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", ident])
    auth = os.path.join(d, "authorized_keys")
    shutil.copy(ident + ".pub", auth)
    port = free_port()
    conf = os.path.join(d, "sshd_config")
    with open(conf, "w") as f:
        f.write("Port %d\nListenAddress 127.0.0.1\nHostKey %s\nAuthorizedKeysFile %s\nPidFile %s\n"
                "PermitRootLogin prohibit-password\nPasswordAuthentication no\nUsePAM no\nStrictModes no\n"
                "Subsystem sftp /usr/lib/openssh/sftp-server\n" % (port, host_key, auth, os.path.join(d, "pid")))
    os.makedirs("/run/sshd", exist_ok=True)
    p = subprocess.Popen(["/usr/sbin/sshd", "-D", "-e", "-f", conf], stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL, start_new_session=True)
    end = time.monotonic() + 15
    while time.monotonic() < end:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return p, port, ident
        if p.poll() is not None:
            break
        time.sleep(0.05)
    stop(p)
    raise RuntimeError("sshd did not start")


def timed(fn):
    t = time.monotonic()
    fn()
    return time.monotonic() - t


def work_write(src, dst):
    quiet(["dd", "if=" + src, "of=" + dst, "bs=1M", "conv=fsync"])


def work_read(path, size):
    drop_page_cache(path)
    out = subprocess.run(["dd", "if=" + path, "of=/dev/null", "bs=1M"], capture_output=True, text=True,
                         check=True, timeout=1800).stderr
    if not out.splitlines()[-1].startswith(str(size)):
        raise RuntimeError("read back: %s" % out)


def work_walk(top, files):
    n = 0
    for d, dirs, names in os.walk(top):
        for name in names:
            os.lstat(os.path.join(d, name))
            n += 1
    if n < files:
        raise RuntimeError("walk saw %d of %d files" % (n, files))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--zkue", default=os.environ.get("ZKUE") or os.path.join(HERE, "..", "build", "src", "opt",
                                                                                 "zkue", "zkue"))
    ap.add_argument("--dir", default=None)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--files", type=int, default=10000)
    ap.add_argument("--targets", default="zkp,zkps,zkps-chacha,sshfs")
    ap.add_argument("--query", default="", help="extra zkue mount options (a=b&c=d) for a profile")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("run as root")
    if not shutil.which("sshfs") or not os.path.exists("/usr/sbin/sshd"):
        quiet(["bash", os.path.join(HERE, "..", "scripts", "install-deps.sh")], timeout=900)
    targets = a.targets.split(",")
    size = a.size_mib << 20

    tmp = tempfile.mkdtemp(prefix="zk_zksd_bench_", dir=a.dir)
    served = os.path.join(tmp, "served")
    os.makedirs(served)
    procs, mounts = [], []
    results = {}
    try:
        src = os.path.join(tmp, "src.bin")
        quiet(["dd", "if=/dev/urandom", "of=" + src, "bs=1M", "count=%d" % a.size_mib])
        shutil.copy(src, os.path.join(served, "r.bin"))
        per = max(1, a.files // 100)
        for i in range((a.files + per - 1) // per):
            d = os.path.join(served, "tree", "d%03d" % i)
            os.makedirs(d)
            for j in range(min(per, a.files - i * per)):
                open(os.path.join(d, "f%04d" % j), "w").close()

        cert = os.path.join(tmp, "c.pem")
        key = os.path.join(tmp, "k.pem")
        quiet(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
               "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"], timeout=60)
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZK_") and k != "http_proxy"}

        def mount_zkue(name, scheme, port):
            mnt = os.path.join(tmp, "m_" + name)
            os.makedirs(mnt)
            url = "%s://u:p@127.0.0.1:%d/" % (scheme, port)
            p = subprocess.Popen([a.zkue, "-u", url, "-m", mnt, "-r", "&".join(["options=rw"] + ([a.query] if a.query else [])),
                                  "-l", "err"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=tmp)
            procs.append(p)
            mounts.append(mnt)
            wait_mounted(mnt, p)
            return mnt, p

        def mount_sshfs(port, ident):
            mnt = os.path.join(tmp, "m_sshfs")
            os.makedirs(mnt)
            p = subprocess.Popen(["sshfs", "-f", "root@127.0.0.1:" + served, mnt, "-p", str(port), "-o",
                                  "IdentityFile=%s,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null,"
                                  "BatchMode=yes" % ident],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            procs.append(p)
            mounts.append(mnt)
            wait_mounted(mnt, p)
            return mnt, p

        for name in targets:
            if name == "zkp":
                sp, port = start_zksd(served)
                procs.append(sp)
                mnt, _ = mount_zkue("zkp", "zkp", port)
            elif name == "zkps":
                sp, port = start_zksd(served, ["--cert", cert, "--key", key])
                procs.append(sp)
                mnt, _ = mount_zkue("zkps", "zkps", port)
            elif name == "zkps-chacha":
                # The server limited to ChaCha20-Poly1305 (its default choice
                # is AES-256-GCM, which the client's TLS library computes
                # block by block).
                sp, port = start_zksd(served, ["--cert", cert, "--key", key, "--tls-ciphers",
                                               "ECDHE-ECDSA-CHACHA20-POLY1305"])
                procs.append(sp)
                mnt, _ = mount_zkue("zkps-chacha", "zkps", port)
            elif name == "sshfs":
                sp, port, ident = start_sshd(tmp)
                procs.append(sp)
                mnt, _ = mount_sshfs(port, ident)
            else:
                raise SystemExit("unknown target %s" % name)
            r = {}
            w = os.path.join(mnt, "w.bin")
            r["write MB/s"] = size / 1e6 / timed(lambda: work_write(src, w))
            os.unlink(os.path.join(served, "w.bin"))
            r["read MB/s"] = size / 1e6 / timed(lambda: work_read(os.path.join(mnt, "r.bin"), size))
            r["stat walk s"] = timed(lambda: work_walk(os.path.join(mnt, "tree"), a.files))
            results[name] = r
            print("%-6s %s" % (name, "  ".join("%s %.2f" % kv for kv in r.items())), flush=True)
    finally:
        for m in mounts:
            unmount(m)
        for p in reversed(procs):
            stop(p)
        shutil.rmtree(tmp, ignore_errors=True)

    print()
    cols = ["write MB/s", "read MB/s", "stat walk s"]
    print("| target | %s |" % " | ".join(cols))
    print("|---|%s" % ("---|" * len(cols)))
    for name, r in results.items():
        print("| %s | %s |" % (name, " | ".join("%.1f" % r[c] if c != "stat walk s" else "%.2f" % r[c]
                                              for c in cols)))
    if "sshfs" in results:
        base = results["sshfs"]
        for name, r in results.items():
            if name == "sshfs":
                continue
            print("%s/sshfs: write %.2f  read %.2f  stat walk %.2f (time ratio)" % (
                name, r["write MB/s"] / base["write MB/s"], r["read MB/s"] / base["read MB/s"],
                r["stat walk s"] / base["stat walk s"]))


if __name__ == "__main__":
    main()
