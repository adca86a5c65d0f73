#!/usr/bin/env python3
"""The program's console shell on a pseudo-terminal: the line editor with the
shell's completion, history and end of input, and the plain fallback for
terminals that cannot edit."""
import fcntl
import os
import platform
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ProgramCopy, fuse_usable, is_fuse_mounted, release_mount, wait_for  # noqa: E402

WAIT = 30.0
PROMPT = b"\x1b[m\x1b[92m>\x1b[m"  # the prompt ">" in the shell's colour 131
NEW_LINE = b" \x08\r\n"  # the editor's move to a new line, as the terminal passes it


def reply(text):
    """A command's output on the terminal: the shell ends its lines with
    "\r\n", which the terminal turns into "\r\r\n", and the reply with a 0."""
    return text.replace(b"\n", b"\r\r\n") + b"\0"
# read(2)'s number, and those of poll(2) and ppoll(2), to see in
# /proc/PID/syscall that the program waits for a key (it polls before it reads).
SYS_READ = {"x86_64": 0, "ppc64le": 3, "ppc64": 3, "aarch64": 63, "i686": 3}.get(platform.machine())
SYS_POLL = {"x86_64": (7, 271), "ppc64le": (167, 281), "ppc64": (167, 281), "aarch64": (73,),
            "i686": (168, 309)}.get(platform.machine(), ())


class Pty:
    """The program running on a pseudo-terminal of rows x cols, its output
    collected by a thread."""

    def __init__(self, exe, cwd, rows=24, cols=80, term="xterm"):
        self.master, self.slave = os.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": cwd}
        if term is not None:
            env["TERM"] = term
        self.proc = subprocess.Popen([exe], stdin=self.slave, stdout=self.slave, stderr=self.slave, cwd=cwd, env=env,
                                     start_new_session=True,
                                     preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        self.out = b""
        self.lock = threading.Condition()
        self.done = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                data = os.read(self.master, 4096)
            except OSError:
                data = b""
            with self.lock:
                if not data:
                    self.done = True
                    self.lock.notify_all()
                    return
                self.out += data
                self.lock.notify_all()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=WAIT)
        os.close(self.slave)
        self.reader.join(timeout=WAIT)
        os.close(self.master)

    def output(self):
        with self.lock:
            return self.out

    def wait_output(self, text, start=0):
        """Waits until the output from start on holds text; its end offset."""
        deadline = time.monotonic() + WAIT
        with self.lock:
            while True:
                i = self.out.find(text, start)
                if i >= 0:
                    return i + len(text)
                left = deadline - time.monotonic()
                if left <= 0 or self.done:
                    raise AssertionError("no %r in %r" % (text, self.out[start:]))
                self.lock.wait(left)

    def idle(self):
        """True when the program waits for input with nothing left to read."""
        inq = struct.unpack("i", fcntl.ioctl(self.slave, termios.FIONREAD, b"\0\0\0\0"))[0]
        if inq:
            return False
        if SYS_READ is None:
            return not (termios.tcgetattr(self.slave)[3] & termios.ICANON)
        try:
            with open("/proc/%d/syscall" % self.proc.pid) as f:
                call = f.read().split()
            with open("/proc/%d/stat" % self.proc.pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            return False
        # Sleeping in the wait: a process on its way out of it is runnable.
        if not call or state != "S":
            return False
        if call[0] == str(SYS_READ):
            return len(call) > 1 and call[1] == "0x0"
        return call[0] in {str(n) for n in SYS_POLL}

    def wait_idle(self):
        deadline = time.monotonic() + WAIT
        while not self.idle():
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise AssertionError("the program does not wait for input: %r" % self.output()[-300:])
            time.sleep(0.002)

    def send(self, data):
        """Sends keys once the program waits for them: they all arrive while
        the terminal is in the editor's mode."""
        self.wait_idle()
        os.write(self.master, data)

    def wait_exit(self):
        return self.proc.wait(timeout=WAIT)


class ShellOnTerminal(ProgramCopy):
    prefix = "zkue_ledit_"

    def start(self, **kw):
        p = Pty(self.exe, self.cwd, **kw)
        self.addCleanup(p.close)
        return p

    def ready(self, **kw):
        p = self.start(**kw)
        p.wait_output(PROMPT)
        return p

    def test_completion_of_command_names(self):
        p = self.ready()
        # One candidate: the name and a blank; Enter drops the blank.
        p.send(b"mo\t")
        mark = p.wait_output(PROMPT + b"mount ")
        p.send(b"\r")
        mark = p.wait_output(PROMPT, mark)
        # Two candidates: the line grows to their common part and both are listed
        # with their descriptions.
        p.send(b"sy\t")
        end = p.wait_output(PROMPT + b"system", p.wait_output(b"system3", mark))
        listing = p.output()[mark:end]
        self.assertIn(b"system2", listing)
        self.assertIn(b"Execute a shell command", listing)
        self.assertIn(b"system3", listing)
        p.send(b"\x15s\x1b?")  # Ctrl-U, then Alt-?: listing only
        mark = end
        end = p.wait_output(PROMPT + b"s\r", p.wait_output(b"system3", mark))
        listing = p.output()[mark:end]
        for name in (b"show", b"set", b"source", b"system2", b"system3"):
            self.assertIn(name, listing)
        p.send(b"\x15\x1bOQ")  # F2: the history holds "mount" without its blank
        p.wait_output(b"   1  mount\r\n", end)
        p.send(b"\x04")
        self.assertEqual(p.wait_exit(), 0)

    def test_history_rules(self):
        p = self.ready()
        mark = 0
        for line in (b"echo a", b"echo a", b"history", b"echo b"):
            p.send(line + b"\r")
            mark = p.wait_output(PROMPT, p.wait_output(b"\0", mark))
        p.send(b"\x1bOQ")
        end = p.wait_output(PROMPT, mark)
        self.assertIn(b"\r\n   1  echo a\r\n   2  echo b\r\n", p.output()[mark:end])
        self.assertNotIn(b"history", p.output()[mark:end])
        p.send(b"\x1b[A\x1b[A\r")  # Up twice: "echo a"
        p.wait_output(PROMPT + b"echo a\r\x1b[7C" + NEW_LINE + reply(b"a\n"), end)

    def test_page_up_after_300_commands(self):
        p = self.ready()
        mark = 0
        for i in range(1, 301):
            p.send(b"echo %d\r" % i)
            mark = p.wait_output(PROMPT, p.wait_output(reply(b"%d\n" % i), mark))
        p.send(b"\x1b[5~")
        mark = p.wait_output(PROMPT + b"echo 45", mark)
        p.send(b"\r")
        p.wait_output(NEW_LINE + reply(b"45\n"), mark)

    def test_ctrl_d_on_an_empty_line_leaves_with_0(self):
        p = self.ready()
        p.send(b"ab\x08\x08\x04")
        self.assertEqual(p.wait_exit(), 0)

    def test_ctrl_c_ends_with_1(self):
        p = self.ready()
        p.send(b"echo x\x03")
        self.assertEqual(p.wait_exit(), 1)

    def test_ctrl_g_aborts_the_line_only(self):
        p = self.ready()
        p.send(b"foo\x07")
        mark = p.wait_output(NEW_LINE + b"\r" + PROMPT)
        p.send(b"echo on\r")
        p.wait_output(NEW_LINE + reply(b"on\n"), mark)
        self.assertNotIn(b"command not found", p.output())

    # ---- stop signals ----------------------------------------------------------------------

    def assert_stopped_cleanly(self, p, signo):
        """The program ended with 0 after a stop signal, logged it once and
        left the terminal as it found it."""
        self.assertEqual(p.wait_exit(), 0, p.output()[-2000:])
        line = b"signo=%d [%s] call user_stop_proc" % (signo, signal.strsignal(signo).encode())
        p.wait_output(line)  # the terminal hands the last output over after the end
        self.assertEqual(p.output().count(line), 1, p.output()[-2000:])
        lflag = termios.tcgetattr(p.slave)[3]
        for flag in (termios.ICANON, termios.ECHO, termios.ISIG):
            self.assertTrue(lflag & flag, "terminal left with flag %#x off" % flag)

    def test_stop_signal_at_the_prompt(self):
        for signo in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signo=signo):
                p = self.ready()
                p.send(b"echo half typed")
                p.wait_idle()  # the editor holds the terminal raw while it waits
                os.kill(p.proc.pid, signo)
                self.assert_stopped_cleanly(p, signo)
                self.assertNotIn(reply(b"half typed\n"), p.output())

    @unittest.skipUnless(fuse_usable(), "needs root and /dev/fuse")
    def test_stop_signal_during_a_mount_ends_the_program(self):
        src = os.path.join(self.tmp, "src")
        os.makedirs(src, exist_ok=True)
        # Ctrl-C on the terminal (the mount runs with the terminal in its own
        # mode) and SIGTERM from outside.
        for how, signo in ((b"\x03", signal.SIGINT), (None, signal.SIGTERM)):
            with self.subTest(signo=signo):
                mnt = os.path.join(self.tmp, "mnt%d" % signo)
                self.addCleanup(release_mount, mnt)
                p = self.ready()
                p.send(b"mount %s?fuse_mount_point=%s\r" % (src.encode(), mnt.encode()))
                self.assertTrue(wait_for(lambda: is_fuse_mounted(mnt) or p.proc.poll() is not None))
                self.assertTrue(is_fuse_mounted(mnt), p.output()[-2000:])
                if how:
                    os.write(p.master, how)
                else:
                    os.kill(p.proc.pid, signo)
                self.assert_stopped_cleanly(p, signo)
                self.assertFalse(is_fuse_mounted(mnt))

    def test_unset_term_uses_the_editor(self):
        p = self.ready(term=None)
        p.send(b"cho x\x01e\r")
        p.wait_output(NEW_LINE + reply(b"x\n"))

    def test_plain_terminal_types_read_plain_lines(self):
        for term in ("DUMB", "cons25", "emacs"):
            with self.subTest(term=term):
                p = self.start(term=term)
                p.wait_output(b"Type `help` to learn how to use prompt")
                p.wait_idle()
                self.assertTrue(termios.tcgetattr(p.slave)[3] & termios.ICANON)
                os.write(p.master, b"echo plain\n")
                p.wait_output(b"echo plain\r\n" + reply(b"plain\n"))
                p.wait_idle()
                os.write(p.master, b"\x04")  # end of input
                self.assertEqual(p.wait_exit(), 0)
                self.assertNotIn(b"\x1b[92m", p.output())


if __name__ == "__main__":
    unittest.main()
