"""The layer check on small trees of its own: what it must refuse (an include
into a library not used, a use of a higher subsystem, a cycle other than the
allowed pair, a file of no library) and what it must let through (a file
claimed from its library's folder, the allowed pair, headers found beside
the including file)."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "check_layers.py")

# A tree like the real one: platform and log core using each other, a log
# output library claiming the rest of the log folder, a network library above.
BASE_TABLE = [
    "pal 1 src/lib/libpal log",
    "log 1 src/lib/liblog/core.h,src/lib/liblog/core.cpp pal",
    "logout 3 src/lib/liblog pal,log",
    "net 4 src/lib/libnet pal,log",
]
BASE_FILES = {
    "src/lib/libpal/str.h": "",
    "src/lib/libpal/str.cpp": '#include "libpal/str.h"\n#include "liblog/core.h"\n',
    "src/lib/liblog/core.h": '#include "libpal/str.h"\n',
    "src/lib/liblog/core.cpp": '#include "liblog/core.h"\n',
    "src/lib/liblog/file.h": "",
    "src/lib/liblog/file.cpp": '#include "file.h"\n#include "liblog/core.h"\n',
    "src/lib/libnet/net.cpp": '#include "liblog/core.h"\n#include "libpal/str.h"\n',
    "src/opt/prog/main.cpp": "",
}
BASE_TABLE.append("prog 6 src/opt/prog pal,log,logout,net")


def run(table, files):
    with tempfile.TemporaryDirectory() as root:
        for rel, text in files.items():
            path = os.path.join(root, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        tab = os.path.join(root, "zk_layers.txt")
        with open(tab, "w") as f:
            f.write("\n".join(table) + "\n")
        p = subprocess.run([sys.executable, SCRIPT, tab, root], capture_output=True, text=True, timeout=60)
        return p.returncode, p.stdout + p.stderr


class CheckLayers(unittest.TestCase):
    def test_clean_tree_passes(self):
        rc, out = run(BASE_TABLE, BASE_FILES)
        self.assertEqual(rc, 0, out)
        self.assertIn("ok", out)

    def test_faults(self):
        cases = [
            # (what, table lines replaced, files added or replaced, text the report must hold)
            ("upward include from the log core into its outputs", None,
             {"src/lib/liblog/core.cpp": '#include "liblog/file.h"\n'},
             "src/lib/liblog/core.cpp:1: includes liblog/file.h of logout"),
            ("include of a library the table does not list", None,
             {"src/lib/libpal/str.cpp": '#include "libnet/net.h"\n', "src/lib/libnet/net.h": ""},
             "includes libnet/net.h of net"),
            ("use of a higher subsystem", {0: "pal 1 src/lib/libpal log,net"}, {},
             "pal (subsystem 1) uses net of the higher subsystem 4"),
            ("cycle other than the allowed pair",
             {2: "logout 3 src/lib/liblog pal,log,net", 3: "net 3 src/lib/libnet pal,log,logout"}, {},
             "the uses of logout, net form a cycle"),
            ("file of no library", None, {"src/lib/libzz/x.cpp": ""}, "src/lib/libzz/x.cpp: belongs to no library"),
        ]
        for what, table_change, file_changes, expect in cases:
            with self.subTest(what):
                table = list(BASE_TABLE)
                for at, line in (table_change or {}).items():
                    table[at] = line
                files = dict(BASE_FILES)
                files.update(file_changes)
                rc, out = run(table, files)
                self.assertEqual(rc, 1, out)
                self.assertIn(expect, out)


if __name__ == "__main__":
    unittest.main()
