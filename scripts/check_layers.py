#!/usr/bin/env python3
"""Holds every #include of the libraries and the program to the layer table.

The table is the one the build links by: CMakeLists.txt declares each library
(zk_library: name, subsystem, paths, the libraries it uses) and the configure
writes it to BUILD/zk_layers.txt, one line per library:

    name subsystem path[,path...] use[,use...]      ("-": uses none)

A file belongs to the library with the most specific path that holds it (a
file beats its folder, a sub-folder its parent). The check fails when

  - a file includes a header of another library that its library does not
    use (an include from a lower library into a higher one among them),
  - a library uses one of a higher subsystem, or one that does not exist,
  - the uses form a cycle, except the one pair named in ALLOWED_CYCLE,
  - a source file under src/lib or src/opt belongs to no library.

Usage: check_layers.py TABLE [SOURCE_ROOT]   (root: this script's parent's
parent). Prints one line per fault and "layers: N files, N includes, ok" or
"layers: N faults"; exits 1 on any fault.
"""
import os
import re
import sys

# The platform layer and the log core use each other: every module logs, and
# the log routine is built on the platform's strings, locks and clocks.
ALLOWED_CYCLE = frozenset({"pal", "log"})

SOURCE_DIRS = ("src/lib", "src/opt")
INCLUDE_DIRS = ("src/lib", "src/opt")
SUFFIXES = (".h", ".hpp", ".c", ".cpp")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


class Lib:
    def __init__(self, name, subsystem, paths, uses):
        self.name = name
        self.subsystem = subsystem
        self.paths = paths
        self.uses = uses


def read_table(path):
    libs = {}
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            fields = line.split()
            if not fields:
                continue
            if len(fields) != 4:
                raise SystemExit(f"{path}:{n}: expected 4 fields, got {len(fields)}")
            name, sub, paths, uses = fields
            libs[name] = Lib(name, int(sub), paths.split(","), [] if uses == "-" else uses.split(","))
    return libs


def owner_of(rel, libs):
    """The library holding the file at rel (root-relative), or None."""
    best, best_len = None, -1
    for lib in libs.values():
        for p in lib.paths:
            if (rel == p or rel.startswith(p + "/")) and len(p) > best_len:
                best, best_len = lib, len(p)
    return best


def find_cycles(libs):
    """Strongly connected groups of more than one library (Tarjan)."""
    index, low, stack, on, groups = {}, {}, [], set(), []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in libs[v].uses:
            if w not in libs:
                continue
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = set()
            while True:
                w = stack.pop()
                on.discard(w)
                group.add(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(group)

    for v in sorted(libs):
        if v not in index:
            visit(v)
    return groups


def check_table(libs):
    faults = []
    for lib in libs.values():
        for u in lib.uses:
            if u == lib.name:
                faults.append(f"table: {lib.name} uses itself")
            elif u not in libs:
                faults.append(f"table: {lib.name} uses {u}, which is no library")
            elif libs[u].subsystem > lib.subsystem:
                faults.append(f"table: {lib.name} (subsystem {lib.subsystem}) uses {u} "
                              f"of the higher subsystem {libs[u].subsystem}")
    for group in find_cycles(libs):
        if group != ALLOWED_CYCLE:
            faults.append("table: the uses of " + ", ".join(sorted(group)) + " form a cycle")
    return faults


def resolve(inc, including, root):
    """Root-relative path of an included file of the tree, or None."""
    if "/" not in inc:
        cand = os.path.join(os.path.dirname(including), inc)
        return os.path.relpath(cand, root) if os.path.isfile(cand) else None
    for d in INCLUDE_DIRS:
        cand = os.path.join(root, d, inc)
        if os.path.isfile(cand):
            return os.path.relpath(cand, root)
    return None


def check_sources(libs, root):
    faults, files, includes = [], 0, 0
    unused = {lib.name: set(lib.uses) for lib in libs.values()}
    for top in SOURCE_DIRS:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, top)):
            dirnames.sort()
            for fn in sorted(filenames):
                if not fn.endswith(SUFFIXES):
                    continue
                path = os.path.join(dirpath, fn)
                rel = os.path.relpath(path, root)
                lib = owner_of(rel, libs)
                files += 1
                if lib is None:
                    faults.append(f"{rel}: belongs to no library")
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for n, line in enumerate(f, 1):
                        m = INCLUDE_RE.match(line)
                        if not m:
                            continue
                        target = resolve(m.group(1), path, root)
                        if target is None:
                            continue
                        includes += 1
                        other = owner_of(target, libs)
                        if other is None or other is lib:
                            continue
                        unused[lib.name].discard(other.name)
                        if other.name not in lib.uses:
                            allowed = ", ".join(lib.uses) or "no other library"
                            faults.append(
                                f"{rel}:{n}: includes {m.group(1)} of {other.name} "
                                f"(subsystem {other.subsystem}); {lib.name} (subsystem {lib.subsystem}) "
                                f"may include {allowed}")
    return faults, files, includes, unused


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        print("usage: check_layers.py TABLE [SOURCE_ROOT]", file=sys.stderr)
        return 2
    root = argv[2] if len(argv) == 3 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    libs = read_table(argv[1])
    faults = check_table(libs)
    src_faults, files, includes, unused = check_sources(libs, root)
    faults += src_faults
    for name in sorted(unused):
        for u in sorted(unused[name]):
            # Not a fault (a use may be only a link), but the table says more
            # than the code needs.
            print(f"note: {name} uses {u} but includes nothing of it")
    for f in faults:
        print(f)
    if faults:
        print(f"layers: {len(faults)} faults")
        return 1
    print(f"layers: {files} files, {includes} includes, ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
