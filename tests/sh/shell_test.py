#!/usr/bin/env python3
"""The console shell through a pipe (the line editor's plain fallback, no
prompt): every built-in byte for byte, line splitting, aliases, the shell
environment, the pipelines, the end of input and -e."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from zk_testlib import ProgramCopy  # noqa: E402

GREETING = b"\nType `help` to learn how to use prompt\n"
NOT_FOUND = b"command not found: [%s]\r\nType `help` to learn how to use prompt\r\n\0"

BUILTINS = [
    ("show", "Show the status of the program"),
    ("set", "Set public options"),
    ("call", "call application commands"),
    ("pwd", "Print working directory"),
    ("alias", "Define or display alias"),
    ("unalias", "Delete the alias set by alias"),
    ("unset", "Cancel environment variable"),
    ("echo", "Echo the STRING(s) to output"),
    ("env", "Display all variables"),
    ("source", "Exec commands from file"),
    ("system2", "Execute a shell command"),
    ("system3", "Execute a quick shell command"),
    ("exit", "Exit the service program"),
    ("quit", "Quit the current session"),
    ("help", "Display this text"),
    ("?", "Synonym for `help'"),
]
APP_ROWS = [("mount", "Mount the url as a dokan device"), ("umount", "Unmount disk device")]
HELP = ("".join("%-10s\t%s\r\n" % r for r in APP_ROWS + BUILTINS)
        + "\r\nFor more information, type 'help command' for each command.\r\ne.g. help pwd\r\n").encode() + b"\0"
SHOW_LIST = (b"Show the status of the program\r\n"
             b"show info -- View program running global info\r\n"
             b"show memory -- View program memory stats\r\n"
             b"show llog -- show last log\r\n"
             b"show dvar -- View program Dynamic variable\r\n"
             b"show config -- View configuration parameters\r\n"
             b"show openfile -- View open file and dir\r\n\0")
CALL_LIST = (b"call application commands\r\n"
             b"call kill -- Execute exit() to exit the process\r\n"
             b"call null -- null memory access exception\r\n"
             b"call thread_except -- Thread exception handling test\r\n"
             b"call stack_over -- Test thread stack exceeded limit\r\n"
             b"call tlog -- Test All log level output\r\n\0")
SET_LIST = (b"Set public options\r\n"
            b"set log.level [verb|dbg|info|noti|warn|err|crit] -- Set log output level\r\n\0")
ALIASES = (b"e=exit\r\ns=show\r\nc=call\r\nq=quit\r\na=alias\r\nsc=show config\r\nsd=show dvar\r\n"
           b"si=show info\r\nsl=show llog\r\nsm=show memory\r\n\0")


class Shell(ProgramCopy):
    prefix = "zkue_sh_"

    def env_reply(self, lines):
        """The env listing after lines, with the start-up entries made fixed."""
        got = self.replies(lines + "\nquit\n")
        return [re.sub(rb"proc_start_time=\d+\r\npid=\d+", b"START", r) for r in got]

    def feed(self, text, args=(), env=None, timeout=30, prefix=()):
        """(status, stdout bytes, stderr text) of the program reading text."""
        e = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "ZZ_ONE": "1"}
        e.update(env or {})
        r = subprocess.run(list(prefix) + [self.exe] + list(args), input=text.encode() if isinstance(text, str) else text,
                           cwd=self.cwd, env=e, capture_output=True, timeout=timeout)
        return r.returncode, r.stdout, r.stderr.decode(errors="replace")

    def replies(self, text, **kw):
        """The replies (each with its zero byte) to the lines of text, which
        must end the shell; the status must be 0."""
        status, out, err = self.feed(text, **kw)
        self.assertEqual(status, 0, err)
        self.assertTrue(out.startswith(GREETING), out)
        body = out[len(GREETING):]
        return [p + b"\0" for p in body.split(b"\0")[:-1]]

    def reply(self, line):
        """The one reply to one line (the shell then ends with quit)."""
        got = self.replies(line + "\nquit\n")
        self.assertEqual(got[-2:], [b"\0", b"\0"], got)  # quit: its flush and the dispatch's
        self.assertEqual(len(got), 3, got)
        return got[0]

    def cwd_reply(self):
        return os.path.realpath(self.cwd).encode() + b"\r\n\0"

    # ---- the loop and its lines --------------------------------------------------------------

    def test_pipe_session_byte_for_byte(self):
        status, out, _ = self.feed("echo a  b\npwd\nfoo\nexit\n")
        self.assertEqual(status, 0)
        self.assertEqual(out, GREETING + b"a b\r\n\0" + self.cwd_reply() + NOT_FOUND % b"foo" + b"\0\0")

    def test_end_of_input_leaves_like_exit(self):
        # /dev/null: the first read is the end; the shell must not read again for ever.
        with open(os.devnull, "rb") as null:
            r = subprocess.run([self.exe, "-l", "dbg"], stdin=null, cwd=self.cwd, capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout, GREETING + b"\0")
        # ... through the exit callback, as `exit` does.
        self.assertIn(b"app_stop_server(): ==>", r.stderr)
        # A last line without its newline still runs.
        self.assertEqual(self.replies("echo last"), [b"last\r\n\0", b"\0"])

    def test_help(self):
        self.assertEqual(self.reply("help"), HELP)
        self.assertEqual(self.reply("?"), HELP)
        self.assertEqual(self.reply("help nosuch"), HELP)
        self.assertEqual(self.reply("help pwd"), b"pwd\r\nPrint working directory\r\n\t-h Display this help\r\n\0")
        self.assertEqual(self.reply("help umount"), b"umount Unmount disk device\r\n\0")
        # Help on any command, exit and quit included, prints its usage and
        # the shell goes on (reply() sees the quit after it).
        for name, desc in APP_ROWS + BUILTINS:
            with self.subTest(name=name):
                got = self.reply("help " + name)
                self.assertGreater(len(got), 1, got)
                self.assertEqual(self.reply(name + " -h"), got)
        self.assertEqual(self.reply("? exit"), b"exit\r\nExit the service program\r\n\t-h Display this help\r\n\0")
        self.assertEqual(self.reply("help quit"), b"quit\r\nQuit the current session\r\n\t-h Display this help\r\n\0")

    def test_lines_split_quote_and_repeat(self):
        cases = [
            # lines -> replies
            ("pwd;#x", [self.cwd_reply()]),
            # A comment answers nothing at all.
            ("#only a comment", []),
            ("echo 1;echo 2", [b"1\r\n\0", b"2\r\n\0"]),
            ('echo "a;b"', [b"a;b\r\n\0"]),
            ("echo 'a;b'", [b"a;b\r\n\0"]),
            # A failing command stops the rest of its line.
            ("nosuch;echo never", [NOT_FOUND % b"nosuch"]),
            # Unbalanced quotes: said, nothing runs and the last command is forgotten.
            ("echo 1\necho 'x\n   ", [b"1\r\n\0", b"error: unbalanced quote\r\n\0", b"\0"]),
            # Nothing between the ';': nothing runs.
            (";", []),
            (";;echo a;;", [b"a\r\n\0"]),
            # Blanks repeat the last line; an empty line does nothing.
            ("help\n   \n\n", [HELP, HELP]),
            ("nosuch\n  ", [NOT_FOUND % b"nosuch", b"\0"]),
            ("echo a;echo b\n \t ", [b"a\r\n\0", b"b\r\n\0", b"a\r\n\0", b"b\r\n\0"]),
        ]
        for lines, want in cases:
            with self.subTest(lines=lines):
                got = self.replies(lines + "\nquit\n")
                self.assertEqual(got, want + [b"\0", b"\0"])

    def test_overlong_line_is_refused(self):
        got = self.replies("pwd\necho " + "x" * 5000 + "\n \nquit\n")
        self.assertEqual(got[0], self.cwd_reply())
        self.assertEqual(got[1], b"error: line too long, at most 4095 bytes\r\n\0")
        # Nothing to repeat afterwards either.
        self.assertEqual(got[2:], [b"\0", b"\0", b"\0"])
        # Longer than the line reader's buffer: the line is refused whole, no
        # tail of it runs as a command of its own.
        got = self.replies("echo " + "B" * 9000 + "\necho ok\nquit\n")
        self.assertEqual(got, [b"error: line too long, at most 4095 bytes\r\n\0", b"ok\r\n\0", b"\0", b"\0"])

    def test_q_runs_exit_quit_does_not(self):
        for line, callback in (("q", True), ("quit", False), ("e", True), ("exit", True)):
            with self.subTest(line=line):
                status, out, err = self.feed(line + "\necho never\n", args=["-l", "dbg"])
                self.assertEqual((status, out), (0, GREETING + b"\0\0"))
                self.assertEqual("app_stop_server(): ==>" in err, callback, err)

    # ---- aliases and the environment ------------------------------------------------------------

    def test_aliases(self):
        cases = [
            ("alias", [ALIASES]),
            ("sc", [b"panic_dump_dir=\r\n\0"]),
            ("s nosuch", [b"error: The show variable 'nosuch' does not exist\r\n\0"]),
            # One level only: "x" becomes "sc", which is not expanded again.
            ("alias x=sc\nx", [b"\0", NOT_FOUND % b"sc"]),
            ("alias p=pwd\np\nalias p\nunalias p\nalias p", [b"\0", self.cwd_reply(), b"p=pwd\r\n\0", b"\0",
                                                               b"p not found\r\n\0"]),
            ("alias =x", [b"=x not found\r\n\0"]),
            ("alias -h", [b"alias [name[=value] ...]\r\nDefine or display alias\r\n\t-h Display this help\r\n\0"]),
            ("unalias nosuch", [b"nosuch not found\r\n\0"]),
            ("unalias -a\nalias\nsc", [b"\0", b"\0", NOT_FOUND % b"sc"]),
        ]
        for lines, want in cases:
            with self.subTest(lines=lines):
                self.assertEqual(self.replies(lines + "\nquit\n"), want + [b"\0", b"\0"])

    def test_environment(self):
        # The copy holds what the framework set before the shell started.
        got = self.reply("env")
        self.assertRegex(got, rb"^PATH=[^\r]*\r\nZZ_ONE=1\r\nproc_start_time=\d{14}\r\npid=\d+\r\n\0$")
        base = re.sub(rb"proc_start_time=\d+\r\npid=\d+", b"START", got[:-1])
        cases = [
            # An assignment prints nothing and sends no reply of its own.
            ("FOO=bar\nenv", [base + b"FOO=bar\r\n\0"]),
            ("FOO=bar\nBAR=x y\nFOO=baz\nenv", [base + b"FOO=baz\r\nBAR=x y\r\n\0"]),
            ("ZZ_ONE=2\nenv", [base.replace(b"ZZ_ONE=1", b"ZZ_ONE=2") + b"\0"]),
            ("FOO=", [NOT_FOUND % b"FOO="]),
            ("A=b=c", [NOT_FOUND % b"A=b=c"]),
            ("FOO=bar\nunset FOO\nenv", [b"\0", base + b"\0"]),
            ("unset NOPE\nenv", [b"\0", base + b"\0"]),
            ("unset", [b"unsetenv: Too few arguments\r\n\0"]),
            ("unset -h", [b"unset [var ...]\r\nCancel environment variable\r\n\t-h Display this help\r\n\0"]),
        ]
        for lines, want in cases:
            with self.subTest(lines=lines):
                self.assertEqual(self.env_reply(lines), want + [b"\0", b"\0"])
        self.assertRegex(self.feed("", args=["-q", "-e", "FOO=bar;env"])[1], rb"\npid=\d+\nFOO=bar\n$")

    # ---- echo --------------------------------------------------------------------------------------

    def test_echo(self):
        cases = [
            ("echo a  b", b"a b\r\n"),
            ('echo "a  b"', b"a  b\r\n"),
            ("echo -n x", b"x"),
            ('echo -n "x  "', b"x"),  # trailing blanks of a reply go
            ("echo -e 'a\\tb'", b"a\tb\r\n"),
            ("echo -e '\\101'", b"A\r\n"),
            ("echo -e 'a\\cb'", b"ab"),
            ("echo -e 'a\\0b'", b"ab\r\n"),
            ("echo -e '\\x41'", b"\\x41\r\n"),
            ("echo -e 'a\\\\b'", b"a\\b\r\n"),
            ("echo -e a\\", b"a\\\r\n"),
            ("echo -E 'a\\tb'", b"a\\tb\r\n"),
            ("echo 'a\\tb'", b"a\\tb\r\n"),
            ("echo -eE 'a\\tb'", b"a\\tb\r\n"),
            ("echo -", b"-\r\n"),
            ("echo -x", b"-x\r\n"),
            ("echo -n -e 'a\\nb'", b"a\r\nb"),
            ("echo x -n", b"x -n\r\n"),
            ("echo", b"\r\n"),
            ("echo -h", b"echo [opt] [string|var]...\r\nEcho the STRING(s) to output\r\n\t-h Display this help\r\n"),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(self.reply(line), want + b"\0")

    # ---- views, variables and functions -------------------------------------------------------------

    def test_show(self):
        self.assertEqual(self.reply("show"), SHOW_LIST)
        self.assertEqual(self.reply("show a b"), SHOW_LIST)
        self.assertEqual(self.reply("show nosuch"), b"error: The show variable 'nosuch' does not exist\r\n\0")
        self.assertEqual(self.reply("show memory"), b"\0")
        self.assertEqual(self.reply("show openfile"), b"\0")
        self.assertEqual(self.reply("show dvar"), b"log.level=info\r\n\0")
        self.assertEqual(self.reply("show config"), b"panic_dump_dir=\r\n\0")
        info = self.reply("show info").decode()
        u = os.uname()
        want = [
            r"ver=1\.7\.6\.2",
            r"ver_date=2025-7-22",
            r"start_time='[0-9.]+ seconds?'",
            r"is_root=1",
            r"log_level=info",
            r"cpu_endian=" + sys.byteorder,
            r"os_info='%s'" % re.escape(" ".join([u.sysname, u.nodename, u.release, u.version, u.machine])),
            r"hw_info=[0-9a-f]+",
            r"os_start_time='([0-9]+ days? )?([0-9]+ hours? )?([0-9]+ minutes?|[0-9.]+ seconds?)'",
        ]
        self.assertRegex(info, "^" + r"\r\n".join(want) + r"\r\n\0$")

    def test_set(self):
        self.assertEqual(self.reply("set"), SET_LIST)
        self.assertEqual(self.reply("set -h"), SET_LIST)
        self.assertEqual(self.reply("set log.level"), SET_LIST)
        self.assertEqual(self.replies("set log.level dbg\nshow dvar\nquit\n"), [b"\0", b"log.level=dbg\r\n\0", b"\0", b"\0"])
        self.assertEqual(self.replies("set log.level bad\nshow dvar\nquit\n"),
                         [b"error: invalid param [bad]\r\n\r\n\0", b"log.level=info\r\n\0", b"\0", b"\0"])
        self.assertEqual(self.reply("set nosuch 1"), b"error: The set variable 'nosuch' does not exist\r\n\0")
        # The level really changes: a dbg line follows the set.
        _, _, err = self.feed("set log.level dbg\nquit\n")
        self.assertIn("app_stop_server", self.feed("set log.level dbg\nexit\n")[2])
        self.assertNotIn("app_stop_server", err)

    def test_call(self):
        self.assertEqual(self.reply("call"), CALL_LIST)
        self.assertEqual(self.reply("call nosuch"), b"error: The call func 'nosuch' does not exist\r\n\0")
        status, out, err = self.feed("call tlog\necho after\nquit\n")
        self.assertEqual((status, out), (0, GREETING + b"\0\0after\r\n\0\0\0"))
        logged = re.findall(r"call_tlog\(\): (log_\w+)", err)
        self.assertEqual(logged, ["log_info", "log_notice", "log_warn", "log_error", "log_crit2"], err)
        status, out, err = self.feed("call kill\necho never\n")
        self.assertEqual((status, out), (0, GREETING + b"\0"), err)
        self.assertIn("user req exit!!", err)

    def test_source(self):
        d = tempfile.mkdtemp(dir=self.tmp)
        script = os.path.join(d, "cmds")
        with open(script, "w") as f:
            f.write("echo one;echo two\n\n# comment\r\nFOO=bar\n")
        got = self.replies("source %s\nenv\nquit\n" % script)
        # The blank second line repeats the first; comment and assignment answer nothing.
        self.assertEqual(got[:5], [b"one\r\n\0", b"two\r\n\0", b"one\r\n\0", b"two\r\n\0", b"\0"])
        self.assertTrue(got[5].endswith(b"FOO=bar\r\n\0"), got[5])
        missing = os.path.join(d, "missing")
        self.assertEqual(self.reply("source %s %s" % (missing, script)),
                         b"open:[%s] error:No such file or directory\r\n\0" % missing.encode())
        usage = b"source [opt] [file]...\r\nExec commands from file\r\n-h: Display this help\r\n\0"
        self.assertEqual(self.reply("source"), usage)
        self.assertEqual(self.reply("source -h"), usage)

    def test_source_loops_are_cut_off(self):
        # A file that sources itself, and two that source each other: the
        # nesting ends with one message and a failed result, not a crash.
        d = tempfile.mkdtemp(dir=self.tmp)
        me, a, b = (os.path.join(d, n) for n in ("me", "a", "b"))
        for path, text in ((me, "source %s\necho unwound\n" % me), (a, "source %s\n" % b), (b, "source %s\n" % a)):
            with open(path, "w") as f:
                f.write(text)
        for start, deepest in ((me, me), (a, a)):
            with self.subTest(start=start):
                status, out, err = self.feed("", args=["-q", "-e", "source %s;echo never" % start])
                self.assertEqual((status, out), (1, b"error: source [%s]: nested too deep, at most 32 levels\n"
                                                 % deepest.encode()), err)
        # The shell itself goes on.
        got = self.replies("source %s\necho after\nquit\n" % a)
        self.assertEqual(b"".join(got).count(b"nested too deep"), 1)
        self.assertEqual(got[-3:], [b"after\r\n\0", b"\0", b"\0"])

    # ---- pipelines ---------------------------------------------------------------------------------

    def test_system2(self):
        usage = b'system2 "cmd|cmd2|cmd3"\r\nget cmd help failed\r\n-h: Display this help\r\n\0'
        self.assertEqual(self.reply("system2 -h"), usage)
        self.assertEqual(self.reply("system2"), usage)
        # Output of the operating system's shell comes as it is.
        self.assertEqual(self.reply('system2 "printf x; echo y"'), b"xy\n\0")
        # A piece that is a command of this shell runs as this program.
        self.assertEqual(self.reply('system2 "echo a b|tr a c"'), b"c b\n\0")
        self.assertEqual(self.reply('system2 "printf ab | tr a c | tr b d"'), b"cd\0")
        # The line fits; the command built from it (program path, options,
        # quotes) does not.
        long_line = 'system2 "%s"' % "|".join(["echo " + "x" * 1340] * 3)
        self.assertLess(len(long_line), 4096)
        status, out, err = self.feed(long_line + "\nquit\n")
        self.assertEqual(out, GREETING + b"\0\0\0")
        self.assertIn("error: pipeline too long, at most 4095 bytes", err)

    def test_system3(self):
        # The built-ins' own output is what the pipeline captures.
        self.assertEqual(self.reply('system3 "echo a b"'), b"a b\n\0")
        self.assertEqual(self.reply('system3 "echo a|echo b"'), b"b\n\0")
        self.assertEqual(self.reply('system3 "pwd"'), os.path.realpath(self.cwd).encode() + b"\n\0")
        self.assertEqual(self.reply('system3 "show nosuch"'),
                         b"error: The show variable 'nosuch' does not exist\n\0")
        # No such command: nothing runs, nothing comes back.
        self.assertEqual(self.reply('system3 "echo a|ls"'), b"\0")
        # The console is itself again afterwards.
        self.assertEqual(self.replies('system3 "echo a"\necho b\nquit\n'), [b"a\n\0", b"b\r\n\0", b"\0", b"\0"])

    # ---- the program's rows ---------------------------------------------------------------------------

    def test_mount_rows(self):
        usage = b"mount [url]\r\nMount the url as a dokan device\r\nurl: Mount file path and parameters\r\n\0"
        self.assertEqual(self.reply("mount"), usage)
        self.assertEqual(self.reply("mount a b"), usage)
        self.assertEqual(self.reply("mount -h"), usage)
        self.assertEqual(self.reply("umount"), b"OK\r\n\0")
        self.assertEqual(self.reply("umount -h"), b"umount Unmount disk device\r\n\0")
        self.assertEqual(self.reply("mount mem://0x1000/1000?fuse_mount_point=/tmp/x"),
                         b"error: a memory archive (mem://) is only mounted from inside the program\r\n\0")
        self.assertEqual(self.reply("mount /nonexistent"),
                         b"error: need mount dir log_file=[]\r\n\0")
        # A typed password never reaches a log line.
        status, out, err = self.feed("mount zkp://bob:s3cr@t@127.0.0.1:1/x?proxy_url=http://u:pr0xy@h:1\nquit\n",
                                     args=["-l", "verb"])
        self.assertIn(b"error: need mount dir", out)
        self.assertIn("bob:***@127.0.0.1", err)
        self.assertNotIn("s3cr", err)
        self.assertNotIn("pr0xy", err)

    # ---- -e ------------------------------------------------------------------------------------------

    def test_exec_option(self):
        cases = [
            # command string, status, output
            ("echo a;pwd", 0, b"a\n" + os.path.realpath(self.cwd).encode() + b"\n"),
            ("nosuch", 1, b"command not found: [nosuch]\nType `help` to learn how to use prompt\n"),
            ("echo a;nosuch;echo never", 1, b"a\ncommand not found: [nosuch]\nType `help` to learn how to use prompt\n"),
            ("call nosuch", 1, b"error: The call func 'nosuch' does not exist\n"),
            ("call", 1, CALL_LIST.replace(b"\r\n", b"\n")[:-1]),
            ("echo x;#c", 0, b"x\n"),
            ("sc", 0, b"panic_dump_dir=\n"),
            ("echo 'x", 1, b"error: unbalanced quote\n"),
            ("q", 0, b""),
            ('system3 "echo a|echo b"', 0, b"b\n"),
        ]
        for cmd, status, out in cases:
            with self.subTest(cmd=cmd):
                got_status, got_out, err = self.feed("", args=["-q", "-e", cmd])
                self.assertEqual((got_status, got_out), (status, out), err)
                self.assertEqual(err, "")
        # The console log is off unless ZK_SH_DBG holds a non-zero number.
        self.assertNotIn("log_info", self.feed("", args=["-q", "-e", "call tlog"])[2])
        self.assertIn("log_info", self.feed("", args=["-q", "-e", "call tlog"], env={"ZK_SH_DBG": "1"})[2])

    @unittest.skipUnless(shutil.which("unshare") and os.geteuid() == 0, "needs unshare and root")
    def test_exec_option_sets_up_the_panic_dump_directory(self):
        # In a mount namespace of its own, the kernel's core pattern file is a
        # file of the test: the machine's pattern stays as it is.
        d = tempfile.mkdtemp(dir=self.tmp)
        pattern = os.path.join(d, "core_pattern")
        with open(pattern, "w") as f:
            f.write("unchanged\n")
        ini = os.path.join(d, "zkue.ini")
        with open(ini, "w") as f:
            f.write("[debug]\npanic_dump_dir=%s/dumps\n" % d)
        pre = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
               'mount --bind "$0" /proc/sys/kernel/core_pattern && exec "$@"', pattern]
        status, out, err = self.feed("", args=["-q", "-c", ini, "-e", "echo a"], prefix=pre)
        self.assertEqual((status, out), (0, b"a\n"), err)
        with open(pattern) as f:
            self.assertEqual(f.read(), "%s/dumps/%%e-%%p-%%t-%%c.core" % d)

    def test_exec_option_needs_root(self):
        nobody = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        r = subprocess.run(nobody + [self.exe, "-q", "-e", "echo a"], cwd=self.cwd, capture_output=True, timeout=30)
        self.assertEqual((r.returncode, r.stdout), (1, b""))
        self.assertIn(b"root privileges are required", r.stderr)


if __name__ == "__main__":
    unittest.main()
