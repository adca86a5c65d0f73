#!/usr/bin/env python3
"""zkue's command line: version, usage, option errors, public keys, the
configuration dump, the root check and the mount URL the options build."""
import hashlib
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ProgramCopy  # noqa: E402

USAGE = (
    "Usage: zkue [opt] [arguments] ...\n"
    "\t-u [url] Specify 'url' to mount\n"
    "\t-m [MountPoint] Can be /mnt/test \n"
    "\t-r [\"debug=1&...\"] set url query val\n"
    "\t   options=rw,allow_other,allow_root,noexec\n"
    "\t-d Run as a daemon\n"
    "\t-c [config_file]  set config file\n"
    "\t-p dump current config\n"
    "\t-s [list|key=val] Set configuration options\n"
    "\t-e [\"cmd;...\"] execute string 'cmd'\n"
    "\t-v show version\n"
    "\t-q Do not display the startup banner and copyright message\n"
    "\t-o [log_file]     set output log file\n"
    "\t-l [log_level]    set log level: verb, dbg, info, warn, err\n"
    "\t-h display this help\n"
)
# The processor name is the build machine's own (python3 platform.machine()).
BANNER = "zkue-linux-%s v1.7.6.2 (2025-7-22) - zkp/zkps fuse" % platform.machine()


class Cli(ProgramCopy):
    prefix = "zkue_cli_"

    def test_usage_text_is_the_documented_one(self):
        self.assertEqual(len(USAGE.encode()), 545)
        self.assertEqual(hashlib.sha256(USAGE.encode()).hexdigest(),
                         "6dbe1cdcb293c85fca6fbaeb8150b7a5a2a584bb70de42f85d21e54f04fee617")

    def test_version(self):
        r = self.run_zkue("-v")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "1.7.6.2\n", ""))

    def test_help(self):
        r = self.run_zkue("-h")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, "")
        self.assertTrue(r.stderr.startswith(BANNER + "\n"), r.stderr)
        self.assertTrue(r.stderr.endswith(USAGE), r.stderr)

    def test_bad_options_show_usage_and_fail(self):
        cases = [
            (["-i", "x"], ""),
            (["-Z"], "%s: invalid option -- 'Z'\n" % self.exe),
            (["-u"], "%s: option requires an argument -- 'u'\n" % self.exe),
        ]
        for args, glibc_line in cases:
            with self.subTest(args=args):
                r = self.run_zkue(*args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stdout, "")
                self.assertTrue(r.stderr.startswith(glibc_line + BANNER + "\n"), r.stderr)
                self.assertTrue(r.stderr.endswith(USAGE), r.stderr)

    def test_public_keys(self):
        r = self.run_zkue("-s", "list")
        self.assertEqual((r.returncode, r.stdout), (0, ""))
        self.assertEqual(r.stderr, "support the following key settings\nhttp_server_port\ndebug_server_port\n")
        # A bad setting is reported and start-up goes on.
        r = self.run_zkue("-s", "port", "-q", "-p")
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"))
        self.assertIn("port syntax error Example: k=v", r.stderr)
        r = self.run_zkue("-s", "nokey=1", "-q", "-p")
        self.assertIn("unsupported key [nokey]", r.stderr)

    def test_dump_without_configuration(self):
        r = self.run_zkue("-q", "-p")
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "panic_dump_dir=\n", ""))
        r = self.run_zkue("-p")
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"))
        self.assertTrue(r.stderr.startswith(BANNER + "\n"), r.stderr)

    def test_non_root_is_refused(self):
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        r = self.run_zkue("-u", "/tmp", "-m", os.path.join(self.tmp, "mnt"), prefix=nobody)
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("root privileges are required to run the program", r.stderr)
        # The dump comes before the root check.
        r = self.run_zkue("-q", "-p", prefix=nobody)
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"))

    def cmd_line(self, *args):
        """The mount URL the options built, from the verb line "cmd=[...]"."""
        r = self.run_zkue(*args, "-q", "-p", env={"ZK_LOG_LEVEL": "verb"})
        self.assertEqual(r.returncode, 0, r.stderr)
        for line in r.stderr.splitlines():
            if "app_opt_get(): cmd=[" in line:
                return line.split("cmd=[", 1)[1].rsplit("]", 1)[0]
        self.fail("no cmd line in " + r.stderr)

    def test_url_building(self):
        cases = [
            (["-u", "zkp://h/d", "-m", "/mnt/a", "-r", "debug=1&options=rw", "-d"],
             "zkp://h/d?fuse_mount_point=/mnt/a&debug=1&options=rw&run_daemon=1"),
            # -u replaces everything built before it.
            (["-m", "/mnt/a", "-u", "zkp://h/d"], "zkp://h/d"),
            (["-m", "/mnt/a"], "?fuse_mount_point=/mnt/a"),
            ([], ""),
            # A second -m replaces the first; the value is percent-encoded.
            (["-u", "/src", "-m", "/a", "-m", "/mnt/a b&c=d"], "/src?fuse_mount_point=/mnt/a%20b%26c%3Dd"),
            (["-u", "/src?x=1", "-m", "/m", "-r", "y=2"], "/src?x=1&fuse_mount_point=/m&y=2"),
            (["-u", "/src?", "-d"], "/src?run_daemon=1"),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                self.assertEqual(self.cmd_line(*args), want)
        # The TLS options are options zkue knows: no warning for them.
        r = self.run_zkue("-q", "-p", "-r", "ca_file=/c.pem&cert_sha256=AB:CD&nokey=1")
        self.assertEqual(r.stderr.count("is no url option zkue knows"), 1, r.stderr)
        self.assertIn("[nokey]", r.stderr)

    def test_url_length_limit(self):
        # g_mount_url holds 4095 characters; one more ends the run clearly.
        fits = "/" + "a" * 4094
        r = self.run_zkue("-u", fits, "-q", "-p")
        self.assertEqual(r.returncode, 0, r.stderr)
        for args in (["-u", fits + "a"], ["-u", fits[:4000], "-r", "rcache_size=" + "1" * 200],
                     ["-u", fits[:4090], "-d"], ["-u", "/" + "a" * 9000], ["-u", "/" + "a" * 5000, "-m", "/m"],
                     ["-u", fits[:4000], "-m", "/" + "b" * 100], ["-r", "x=" + "a" * 5000]):
            with self.subTest(n=len("".join(args))):
                r = self.run_zkue(*args, "-q")
                self.assertEqual(r.returncode, 255, r.stderr)
                # One line that says it, nothing from the helpers before it.
                lines = r.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, r.stderr[:2000])
                self.assertIn("app_opt_get(): ", lines[0])
                self.assertIn("at most 4095 are supported", lines[0])
                # It ends while reading the options: no mount, no shell.
                self.assertNotIn("app_start_server", r.stderr)

    def test_bad_urls_refused_before_mounting(self):
        """A port that is not a number from 1 to 65535, and a host whose ']'
        is missing, end the run at once (255, as every failure to mount) in
        one line that says which, never a connection to another port."""
        mnt = os.path.join(self.tmp, "mnt")
        cases = [("zkp://u:pw@127.0.0.1:%s/" % p, "port [%s] is not a number from 1 to 65535" % p)
                 for p in ("0", "-1", "abc", "21400x", "70000")]
        cases += [("ftp://u:pw@127.0.0.1:0/", "port [0] is not a number from 1 to 65535"),
                  ("zkp://u:pw@[::1/x", "-u [zkp://u:***@[::1/x]: the closing ']' of the host is missing")]
        for u, why in cases:
            with self.subTest(url=u):
                r = self.run_zkue("-q", "-u", u, "-m", mnt)
                self.assertEqual(r.returncode, 255, r.stderr)
                lines = r.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, r.stderr)
                self.assertIn("app_opt_get(): ", lines[0])
                self.assertIn(why, lines[0])
                self.assertNotIn("pw", lines[0])
        # A URL that does not come from -u (the shell's mount) is refused by
        # the mount in the same words.
        r = self.run_zkue("-q", "-e", "mount zkp://u:pw@127.0.0.1:abc/?fuse_mount_point=" + mnt,
                          env={"ZK_SH_DBG": "1"})
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("error: port [abc] is not a number from 1 to 65535", r.stdout + r.stderr)

    def test_banner_logged_with_daemon_flag(self):
        r = self.run_zkue("-q", "-d", "-p", env={"ZK_LOG_LEVEL": "dbg"})
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("app_baner(): " + BANNER, r.stderr)
        self.assertNotIn("\n" + BANNER, "\n" + r.stderr.replace("app_baner(): " + BANNER, ""))

    def test_log_level_order(self):
        # The configuration loader's dbg line shows whether dbg is on.
        dbg_line = "load [zkue.ini] failed"
        r = self.run_zkue("-q", "-p", env={"ZK_LOG_LEVEL": "err"})
        self.assertNotIn(dbg_line, r.stderr)
        r = self.run_zkue("-q", "-p", "-l", "dbg", env={"ZK_LOG_LEVEL": "err"})
        self.assertIn(dbg_line, r.stderr)
        # Without a configuration file the loader is given the bare name.
        r = self.run_zkue("-q", "-p", "-c", os.path.join(self.tmp, "missing.ini"), env={"ZK_LOG_LEVEL": "verb"})
        self.assertIn("Load default zkue.ini", r.stderr)
        self.assertIn(dbg_line, r.stderr)

    def write_ini(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def test_dump_of_a_configured_panic_directory(self):
        # The dump shows the value as configured: making it absolute comes later.
        ini = self.write_ini("dump.ini", "[debug]\npanic_dump_dir=dumps\n")
        r = self.run_zkue("-q", "-p", "-c", ini)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "panic_dump_dir=dumps\n", ""))
        # A file without the key gives an empty value.
        ini = self.write_ini("nokey.ini", "[debug]\nother=1\n")
        r = self.run_zkue("-q", "-p", "-c", ini)
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"))

    def test_configuration_beside_the_executable(self):
        d = tempfile.mkdtemp(prefix="zkue_beside_", dir=self.tmp)
        exe = os.path.join(d, "zkue")
        shutil.copy2(self.exe, exe)
        with open(os.path.join(d, "zkue.ini"), "w") as f:
            f.write("[debug]\npanic_dump_dir=/var/zk\n")
        r = subprocess.run([exe, "-q", "-p"], cwd=self.cwd, capture_output=True, text=True, timeout=30,
                           env={k: v for k, v in os.environ.items() if not k.startswith("ZK_")})
        self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=/var/zk\n"))

    def test_log_section_then_environment_then_command_line(self):
        ini = self.write_ini("log.ini", "[log]\nlevel=dbg\nflags=time_ms|tid_name|func\n")
        banner_line = r"\d\d:\d\d:\d\d\.\d{3} \[main_[0-9a-f]{4}_\d+\] app_baner\(\): " + re.escape(BANNER)
        r = self.run_zkue("-q", "-d", "-p", "-c", ini)
        self.assertRegex(r.stderr, banner_line)
        r = self.run_zkue("-q", "-d", "-p", "-c", ini, env={"ZK_LOG_LEVEL": "err"})
        self.assertNotIn("app_baner", r.stderr)
        r = self.run_zkue("-q", "-d", "-p", "-c", ini, "-l", "dbg", env={"ZK_LOG_LEVEL": "err"})
        self.assertRegex(r.stderr, banner_line)

    def test_log_file_option(self):
        log = os.path.join(self.tmp, "out.log")
        r = self.run_zkue("-q", "-d", "-p", "-o", log, "-l", "dbg")
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(log) as f:
            self.assertIn("app_baner(): " + BANNER + "\n", f.read())

    def test_configuration_files_must_be_bounded_regular_files(self):
        """-c, the sessions file and the proxy file: a link to /dev/zero, a
        FIFO or a file over 16 MiB is refused at once with a message (the
        run goes on as without the file), never read for ever."""
        d = tempfile.mkdtemp(prefix="conf_", dir=self.tmp)
        zero, fifo, huge = (os.path.join(d, n) for n in ("zero.ini", "fifo.ini", "huge.ini"))
        os.symlink("/dev/zero", zero)
        os.mkfifo(fifo)
        with open(huge, "wb") as f:
            f.truncate((16 << 20) + 1)
        # Directories too, whatever their name.
        dirs = [os.path.join(d, n) for n in ("dir.ini", "confdir")]
        for x in dirs:
            os.mkdir(x)
        for path, why in ((zero, "not a regular file"), (fifo, "not a regular file"),
                          (huge, "16777217 bytes, more than 16777216"), (dirs[0], "not a regular file"),
                          (dirs[1], "not a regular file")):
            with self.subTest(conf=os.path.basename(path)):
                r = self.run_zkue("-q", "-p", "-c", path)
                self.assertEqual((r.returncode, r.stdout), (0, "panic_dump_dir=\n"), r.stderr)
                self.assertIn("[%s] refused: %s" % (path, why), r.stderr)
        # The sessions file and the proxy file of a configuration directory.
        conf_dir = os.path.join(d, "dir")
        os.mkdir(conf_dir)
        sessions, proxies = os.path.join(conf_dir, "zk_client.ini"), os.path.join(conf_dir, "zk_proxy.ini")
        os.link(huge, sessions)
        os.mkfifo(proxies)
        r = self.run_zkue("-q", "-u", "///here", "-m", os.path.join(d, "mnt"), env={"ZK_ENV_CONF_DIR": conf_dir})
        self.assertEqual(r.returncode, 1, r.stderr)
        self.assertIn("[%s] refused: 16777217 bytes, more than 16777216" % sessions, r.stderr)
        os.unlink(sessions)
        with open(sessions, "w") as f:
            f.write("[session/here]\nprot = loc\n")
        r = self.run_zkue("-q", "-u", "zkp://127.0.0.1:1/", "-r", "proxy=p1", "-m", os.path.join(d, "mnt"),
                          env={"ZK_ENV_CONF_DIR": conf_dir})
        self.assertEqual(r.returncode, 255, r.stderr)
        self.assertIn("[%s] refused: not a regular file" % proxies, r.stderr)


if __name__ == "__main__":
    unittest.main()
