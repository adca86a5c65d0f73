#!/usr/bin/env python3
"""The log outputs a [log] section switches on, driven through the program:
a syslog server (rsyslog on loopback, over UDP and TCP) and the log file
with its directory, name family, clean-up, modes and size cap.

The runs mount a source that does not exist: the program starts, logs its
way to the failed mount (one record names the long source path) and ends,
without mounting anything."""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ProgramCopy, clean_env, wait_for  # noqa: E402

RSYSLOGD = shutil.which("rsyslogd") or "/usr/sbin/rsyslogd"
# PRI of the records by the log file's level words (facility user).
PRI = {"VERB": 15, "DEBUG": 15, "INFO": 14, "NOTI": 13, "WARN": 12, "ERROR": 11, "CRIT": 10}
RAW = re.compile(r"^<(\d+)>([A-Z][a-z]{2} [ 1-3]\d \d\d:\d\d:\d\d) (\S{1,32}) (.{1,64})\[(\d+)\]: (.*)$")
OUT_LINE = re.compile(r"^(<\d+>.*)\|(\d+)\|([^|]*)\|([^|]*\[\d+\]:)\|(.*)$")
FILE_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6} (VERB |DEBUG|INFO |NOTI |WARN |ERROR|CRIT ) "
                       r"(\d+) --- \[[^\]]*\] (\S*) (\S+\(\): )?(.*)\n$")


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def socket_inodes(pid):
    found = set()
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            m = re.match(r"socket:\[(\d+)\]", link)
            if m:
                found.add(m.group(1))
    except OSError:
        pass
    return found


def owns_port(pid, table, port):
    """True when process pid holds the loopback socket bound to port in
    /proc/net/<table> (udp or tcp)."""
    inodes = socket_inodes(pid)
    try:
        with open("/proc/net/" + table) as f:
            rows = f.read().splitlines()[1:]
    except OSError:
        return False
    for row in rows:
        cols = row.split()
        if len(cols) > 9 and int(cols[1].split(":")[1], 16) == port and cols[9] in inodes:
            return True
    return False


class Rsyslog:
    """rsyslogd in the foreground with a UDP and a TCP input on loopback,
    writing every message as rawmsg|pri|hostname|syslogtag|msg lines."""

    def __init__(self, tmp):
        self.dir = tempfile.mkdtemp(prefix="rsyslog_", dir=tmp)
        self.out = os.path.join(self.dir, "out.txt")
        self.proc = None

    def start(self):
        for _ in range(8):
            self.udp, self.tcp = free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_STREAM)
            conf = os.path.join(self.dir, "rsyslog.conf")
            with open(conf, "w") as f:
                f.write('global(workDirectory="%s")\n' % self.dir)
                f.write('module(load="imudp")\nmodule(load="imtcp")\n')
                f.write('input(type="imudp" address="127.0.0.1" port="%d")\n' % self.udp)
                f.write('input(type="imtcp" address="127.0.0.1" port="%d")\n' % self.tcp)
                f.write('template(name="raw" type="string" '
                        'string="%rawmsg%|%pri%|%hostname%|%syslogtag%|%msg%\\n")\n')
                f.write('*.* action(type="omfile" file="%s" template="raw")\n' % self.out)
            self.log = open(os.path.join(self.dir, "rsyslogd.out"), "w")
            self.proc = subprocess.Popen([RSYSLOGD, "-n", "-f", conf, "-i", os.path.join(self.dir, "pid")],
                                         stdout=self.log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            if wait_for(lambda: self.proc.poll() is not None or (owns_port(self.proc.pid, "udp", self.udp)
                                                                   and owns_port(self.proc.pid, "tcp", self.tcp)),
                        timeout=20) and self.proc.poll() is None:
                return self
            self.stop()  # a port was taken meanwhile: again with others
        raise AssertionError("rsyslogd did not come up")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None
        if getattr(self, "log", None):
            self.log.close()
            self.log = None

    def records(self, pid):
        """Messages of process pid: (rawmsg, pri, hostname, syslogtag, msg)."""
        try:
            with open(self.out, errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return []
        found = []
        for line in lines:
            m = OUT_LINE.match(line)
            if m and m.group(4).endswith("[%d]:" % pid):
                found.append(m.groups())
        return found


class LogOutputs(ProgramCopy):
    prefix = "zkue_logout_"

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="run_", dir=self.tmp)
        os.chmod(self.work, 0o755)
        # A source path whose failure record runs past 800 characters.
        self.src = os.path.join(self.work, "missing", *[c * 200 for c in "abcd"])

    def ini(self, text):
        path = os.path.join(self.work, "zkue.ini")
        with open(path, "w") as f:
            f.write(text)
        return path

    def zkue(self, ini, *args, prefix=()):
        """The program run with the configuration file ini until its mount
        fails; (process id, result)."""
        # A shell that reports its own pid and then becomes the program.
        cmd = list(prefix) + ["sh", "-c", 'echo "pid=$$" >&2; exec "$@"', "sh", self.exe, "-q", "-c", ini,
                              "-u", self.src, "-m", os.path.join(self.work, "mnt")] + list(args)
        r = subprocess.run(cmd, cwd=self.cwd, capture_output=True, text=True, timeout=60,
                           env=clean_env())
        m = re.search(r"pid=(\d+)", r.stderr)
        self.assertIsNotNone(m, r.stderr)
        self.assertNotEqual(r.returncode, 0, r.stderr)
        self.assertIn("error=", r.stderr)
        return int(m.group(1)), r

    # ---- syslog -------------------------------------------------------------------------------

    def syslog_run(self, peer, url, flags, prefix=()):
        logfile = os.path.join(self.work, "sys.log")
        ini = self.ini("[log]\nlevel=verb\nflags=%s\nsyslog=%s\nfile=%s\n" % (flags, url, logfile))
        pid, r = self.zkue(ini, prefix=prefix)
        # The last record of the run closes the library.
        self.assertTrue(wait_for(lambda: any("app_lib_exit(): <==" in x[4] for x in peer.records(pid)), 20),
                        r.stderr)
        with open(logfile) as f:
            lines = f.readlines()
        return pid, peer.records(pid), lines

    def check_records(self, pid, recs, lines, host, ms):
        self.assertGreater(len(recs), 10)
        for raw, pri, hostname, tag, msg in recs:
            m = RAW.match(raw)
            self.assertIsNotNone(m, raw)
            self.assertEqual((m.group(1), m.group(3), m.group(5)), (pri, host, str(pid)), raw)
            self.assertEqual(hostname, host)
            self.assertEqual(tag, "%s[%d]:" % (m.group(4), pid))
            # The message is the console line without its time of day: it
            # starts with the thread id (flags time|tid|func).
            self.assertRegex(msg, r"^ \[\d+\] \S+\(\): ", raw)
            self.assertNotRegex(msg, r"^ \d\d:\d\d:\d\d" + (r"\.\d{3}" if ms else ""))
            self.assertLessEqual(len(msg), 801)
        # Levels: every record of the log file is a syslog message with the
        # PRI of its level word and the same tag and text.
        by_text = {}
        for _, pri, _, tag, msg in recs:
            by_text.setdefault((tag.split("[")[0], msg.split("(): ", 1)[-1][:700]), set()).add(int(pri))
        words = set()
        for line in lines:
            m = FILE_LINE.match(line)
            self.assertIsNotNone(m, line)
            word = m.group(1).strip()
            words.add(word)
            key = (m.group(3), m.group(5)[:700])
            self.assertIn(key, by_text, line)
            self.assertIn(PRI[word], by_text[key], line)
        self.assertTrue({"VERB", "ERROR"} <= words, words)
        # The record naming the source path is cut at 800 characters.
        long = [msg for _, _, _, _, msg in recs if "dddd" in msg]
        self.assertTrue(long)
        self.assertTrue(all(len(msg) == 801 for msg in long), [len(m) for m in long])
        errs = [pri for _, pri, _, _, msg in recs if "error=File not found" in msg]
        self.assertEqual(errs, ["11"])

    def test_syslog_udp_then_tcp(self):
        if not os.path.exists(RSYSLOGD):
            self.skipTest("rsyslogd is not installed")
        peer = Rsyslog(self.tmp).start()
        try:
            host = socket.gethostname() or "unknown"
            pid_u, recs_u, lines_u = self.syslog_run(peer, "udp://127.0.0.1:%d" % peer.udp, "time|tid|func")
            self.check_records(pid_u, recs_u, lines_u, host, False)
            pid_t, recs_t, lines_t = self.syslog_run(peer, "tcp://127.0.0.1:%d" % peer.tcp, "time_ms|tid|func")
            self.check_records(pid_t, recs_t, lines_t, host, True)
            # Over TCP every message arrived as one of its own: as many as
            # the same run sent by datagrams.
            self.assertEqual(len(recs_t), len(recs_u))
            # With a capture file as the log file both outputs are fed.
            pcap = os.path.join(self.work, "s.pcap")
            ini = self.ini("[log]\nlevel=verb\nsyslog=tcp://127.0.0.1:%d\nfile=%s\n" % (peer.tcp, pcap))
            pid_p, _ = self.zkue(ini)
            self.assertTrue(wait_for(lambda: any("app_lib_exit(): <==" in x[4] for x in peer.records(pid_p)), 20))
            self.assertGreater(self.capture_count(pcap), 10)
            # The host name in the messages; "(none)" is sent as "unknown".
            # (in a UTS namespace of the run's own: the machine's name stays)
            if shutil.which("unshare"):
                for name, shown in (("box", "box"), ("(none)", "unknown")):
                    with self.subTest(host=name):
                        pre = ["unshare", "--uts", "sh", "-c",
                               'printf %s "$0" > /proc/sys/kernel/hostname && exec "$@"', name]
                        pid_h, recs_h, _ = self.syslog_run(peer, "udp://127.0.0.1:%d" % peer.udp, "time|tid|func",
                                                           prefix=pre)
                        self.assertTrue(recs_h)
                        self.assertEqual({x[2] for x in recs_h}, {shown})
        finally:
            peer.stop()

    def test_control_bytes_reach_no_output_raw(self):
        """A name with a line end and terminal escapes in it stays inside its
        own record: escaped on the console, in the log file and over TCP
        syslog, where it forges no second message."""
        if not os.path.exists(RSYSLOGD):
            self.skipTest("rsyslogd is not installed")
        forged = "Jan  1 00:00:00 forgedhost forgedtag[1]: forged"
        self.src = os.path.join(self.work, "evil\n" + forged + "\x1b]0;title\x07\x1b[2J")
        peer = Rsyslog(self.tmp).start()
        try:
            logfile = os.path.join(self.work, "c.log")
            ini = self.ini("[log]\nlevel=dbg\nsyslog=tcp://127.0.0.1:%d\nfile=%s\n" % (peer.tcp, logfile))
            pid, r = self.zkue(ini)
            self.assertTrue(wait_for(lambda: any("app_lib_exit(): <==" in x[4] for x in peer.records(pid)), 20))
            escaped = "evil\\n" + forged + "\\x1b]0;title\\x07\\x1b[2J"
            with open(logfile, errors="replace") as f:
                filetext = f.read()
            for name, text in (("console", r.stderr), ("log file", filetext)):
                with self.subTest(output=name):
                    self.assertNotIn("\x1b", text)
                    self.assertNotIn("\x07", text)
                    self.assertIn(escaped, text)
                    self.assertFalse([l for l in text.splitlines() if l.startswith(forged)])
            with open(logfile) as f:
                for line in f:
                    self.assertRegex(line, FILE_LINE)
            with open(peer.out, errors="replace") as f:
                raw = f.read()
            self.assertNotIn("forgedhost|", raw)
            self.assertNotIn("forgedtag", "".join(x[3] for x in peer.records(pid)))
            self.assertTrue(any(escaped in x[4] for x in peer.records(pid)))
        finally:
            peer.stop()

    # ---- log file -----------------------------------------------------------------------------

    def test_unwritable_log_directory_is_one_warning(self):
        r = self.zkue(self.ini("[log]\nfile_dir=/proc/zk_no_such_dir\nfile=z.log\n"))[1]
        lines = [l for l in r.stderr.splitlines() if "log file" in l]
        self.assertEqual(len(lines), 1, r.stderr)
        self.assertIn("cannot open the log file [/proc/zk_no_such_dir/z.log]: ", lines[0])

    def capture_count(self, path):
        """Packets capinfos counts in a capture file of log records (link
        type 147, "USER 0"); tshark reads every one."""
        if not shutil.which("capinfos"):
            self.skipTest("capinfos is not installed")
        r = subprocess.run(["capinfos", "-r", "-T", "-c", "-E", path], capture_output=True, text=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)
        name, encap, count = r.stdout.strip().split("\t")
        self.assertEqual(encap, "user0")
        if shutil.which("tshark"):
            t = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "frame.number"], capture_output=True,
                               text=True, timeout=120)
            self.assertEqual(t.returncode, 0, t.stderr)
            self.assertEqual(len(t.stdout.split()), int(count))
        return int(count)

    def test_capture_file_then_command_line_file(self):
        pcap, text = os.path.join(self.work, "x.pcap"), os.path.join(self.work, "y.log")
        ini = self.ini("[log]\nlevel=verb\nfile=%s\n" % pcap)
        self.zkue(ini)
        whole = self.capture_count(pcap)
        self.assertGreater(whole, 10)
        with open(pcap, "rb") as f:
            data = f.read()
        self.assertIn(b"error=File not found.", data)
        self.assertNotIn(b" ERROR ", data)  # records, no text lines
        # -o comes after the section: the capture file stops at the switch
        # (the records after it are lines of the text file) and stays sound.
        self.zkue(ini, "-o", text)
        part = self.capture_count(pcap)
        self.assertLess(part, whole)
        with open(pcap, "rb") as f:
            self.assertNotIn(b"error=File not found.", f.read())
        with open(text) as f:
            lines = f.readlines()
        for line in lines:
            self.assertRegex(line, FILE_LINE)
        self.assertTrue(any("error=File not found." in line for line in lines))

    def test_file_family_in_a_directory_beside_the_program(self):
        logdir = os.path.join(self.tmp, "log")
        os.makedirs(logdir, exist_ok=True)
        for n in ("zkue_1.log", "zkue_2.log", "zkue_3.log", "keep.log"):
            with open(os.path.join(logdir, n), "w") as f:
                f.write("x\n")
        ini = self.ini("[log]\nlevel=verb\nfile_dir=log\nfile=zkue_${pid}.log\nmax_num_file=2\n")
        pid, r = self.zkue(ini)
        names = sorted(os.listdir(logdir))
        self.assertEqual(names, sorted(["zkue_3.log", "zkue_%d.log" % pid, "keep.log"]), r.stderr)
        with open(os.path.join(logdir, "zkue_%d.log" % pid)) as f:
            lines = f.readlines()
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, FILE_LINE)
        shutil.rmtree(logdir)

    def test_file_modes_and_size_cap(self):
        path = os.path.join(self.work, "m.log")
        for mode, kept in (("a", True), ("w", False)):
            with self.subTest(mode=mode):
                with open(path, "w") as f:
                    f.write("old line\n")
                self.zkue(self.ini("[log]\nlevel=dbg\nfile_mode=%s\nfile=%s\n" % (mode, path)))
                with open(path) as f:
                    text = f.read()
                self.assertEqual(text.startswith("old line\n"), kept, text[:200])
                self.assertIn("error=File not found.\n", text)
        # At verb the run logs far more than 2 KiB: the file keeps less than
        # its cap, starting at a line.
        self.zkue(self.ini("[log]\nlevel=verb\nfile_size=2k\nfile=%s\n" % path))
        with open(path) as f:
            text = f.read()
        self.assertLess(len(text.encode()), 2048)
        lines = text.splitlines(True)
        self.assertTrue(lines)
        for line in lines:
            self.assertRegex(line, FILE_LINE)
        self.assertIn("app_lib_exit(): <==", lines[-1])

    def test_command_line_file_comes_after_the_section(self):
        a, b = os.path.join(self.work, "a.log"), os.path.join(self.work, "b.log")
        self.zkue(self.ini("[log]\nlevel=dbg\nfile=%s\n" % a), "-o", b)
        with open(b) as f:
            text = f.read()
        self.assertIn("error=File not found.\n", text)
        with open(a) as f:
            self.assertNotIn("error=File not found.", f.read())


if __name__ == "__main__":
    unittest.main()
