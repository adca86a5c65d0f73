#!/usr/bin/env python3
"""Every FUSE operation of zkue through a mount of the zksd test server
(zkp://), with and without handle caches: the suite of fuse_suite.py, with
the source's differences from a local directory in its table. Needs root
and /dev/fuse."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fuse_suite import ZksdSource, suite_classes  # noqa: E402

suite_classes(ZksdSource, globals())

if __name__ == "__main__":
    unittest.main()
