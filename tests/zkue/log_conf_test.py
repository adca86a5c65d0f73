#!/usr/bin/env python3
"""The [log] section of the file given with -c: the level and the flags it
sets show in the console lines, and ZK_LOG_LEVEL, then -l, override its level
in that order."""
import os
import platform
import pty
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ProgramCopy, clean_env  # noqa: E402

# The processor name is the build machine's own (python3 platform.machine()).
BANNER = "zkue-linux-%s v1.7.6.2 (2025-7-22) - zkp/zkps fuse" % platform.machine()
COLOUR = re.compile(r"\x1b\[[0-9;]*m")


class LogSection(ProgramCopy):
    prefix = "zkue_logconf_"

    def write_ini(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o644)
        return path

    def tty_stderr(self, *args):
        """What the program writes to a standard error stream that is a
        terminal (a pseudo-terminal)."""
        master, slave = pty.openpty()
        try:
            p = subprocess.Popen([self.exe] + list(args), cwd=self.cwd, env=clean_env(), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=slave)
            os.close(slave)
            slave = -1
            out = b""
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # EIO: the program has closed its end
                    break
                if not chunk:
                    break
                out += chunk
            p.wait(timeout=30)
            return out.decode(errors="replace")
        finally:
            os.close(master)
            if slave >= 0:
                os.close(slave)

    def banner_lines(self, *args, env=None):
        """Console lines that carry the banner logged at dbg (-d), colours
        removed; -p ends the run after it."""
        r = self.run_zkue("-q", "-d", "-p", *args, env=env)
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"), r.stderr)
        return r, [COLOUR.sub("", l) for l in r.stderr.splitlines() if BANNER in l]

    def test_flags_shape_the_console_line(self):
        rows = [
            ("func", r"app_baner\(\): "),
            ("time", r"\d\d:\d\d:\d\d "),
            ("time|func", r"\d\d:\d\d:\d\d app_baner\(\): "),
            ("time_ms|func", r"\d\d:\d\d:\d\d\.\d{3} app_baner\(\): "),
            ("tid|func", r"\[\d+\] app_baner\(\): "),
            ("time|tid|func", r"\d\d:\d\d:\d\d \[\d+\] app_baner\(\): "),
            ("file|func", r"\[app:\d+\] app_baner\(\): "),
            ("tid_name|func", r"\[main_[0-9a-f]{4}_\d+\] app_baner\(\): "),
        ]
        for flags, prefix in rows:
            with self.subTest(flags=flags):
                ini = self.write_ini("flags.ini", "[log]\nlevel=dbg\nflags=%s\n" % flags)
                r, lines = self.banner_lines("-c", ini)
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertRegex(lines[0], "^" + prefix + re.escape(BANNER) + "$")
                # Into a pipe: no colour escapes.
                self.assertNotIn("\x1b[", r.stderr)
                # On a terminal the colour bit stays on whatever the list says.
                self.assertIn("\x1b[", self.tty_stderr("-q", "-d", "-p", "-c", ini))

    def test_level_order_section_environment_command_line(self):
        # The banner is logged at dbg, so it shows exactly when dbg is on.
        rows = [
            # [log] level, ZK_LOG_LEVEL, -l, banner shown
            ("dbg", None, None, True),
            ("info", None, None, False),
            ("dbg", "err", None, False),   # the environment comes after the section
            ("err", "dbg", None, True),
            ("err", None, "dbg", True),    # -l comes last
            ("dbg", "dbg", "err", False),
            ("dbg", "err", "dbg", True),
            ("bogus", None, None, False),  # an unknown name keeps "info"
        ]
        for level, env_level, opt_level, shown in rows:
            with self.subTest(level=level, env=env_level, opt=opt_level):
                ini = self.write_ini("order.ini", "[log]\nlevel=%s\nflags=func\n" % level)
                args = ["-c", ini] + (["-l", opt_level] if opt_level else [])
                env = {"ZK_LOG_LEVEL": env_level} if env_level else None
                r, lines = self.banner_lines(*args, env=env)
                self.assertEqual(lines, ["app_baner(): " + BANNER] if shown else [], r.stderr)
        r, _ = self.banner_lines("-c", self.write_ini("bad.ini", "[log]\nlevel=bogus\n"))
        self.assertIn("error: invalid level [bogus]\n", r.stderr)

    def test_verb_in_the_section_reaches_the_file_not_the_console(self):
        # The section's level leaves the console level at dbg: verb records
        # go to the log file the section opens, not to the console.
        logdir = tempfile.mkdtemp(prefix="logs_", dir=self.tmp)
        ini = self.write_ini("verb.ini", "[log]\nlevel=verb\nflags=func\nfile_dir=%s\nfile=v.log\n" % logdir)
        r, lines = self.banner_lines("-c", ini)
        self.assertEqual(lines, ["app_baner(): " + BANNER], r.stderr)
        self.assertNotIn("app_init_env(): <==", r.stderr)
        with open(os.path.join(logdir, "v.log")) as f:
            text = f.read()
        self.assertRegex(text, r" VERB  \d+ --- \[main_[0-9a-f]{4}_\d+\] pal app_init_env\(\): <==\n")
        self.assertRegex(text, r" DEBUG \d+ --- .* app_baner\(\): " + re.escape(BANNER) + "\n")
        # ZK_LOG_LEVEL sets both levels.
        r, _ = self.banner_lines("-c", ini, env={"ZK_LOG_LEVEL": "verb"})
        self.assertIn("app_init_env(): <==", COLOUR.sub("", r.stderr))

    def test_command_line_level_raises_the_console_level(self):
        # Verb lines after -l are those of the rest of the start-up; run as an
        # unprivileged user the program ends right after it.
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
        ini = self.write_ini("verb2.ini", "[log]\nlevel=verb\nflags=func\n")
        r = self.run_zkue("-q", "-c", ini, prefix=prefix)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertNotIn("app_opt_init(): <==", r.stderr)
        r = self.run_zkue("-q", "-c", ini, "-l", "verb", prefix=prefix)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("app_opt_init(): <==", COLOUR.sub("", r.stderr))


if __name__ == "__main__":
    unittest.main()
