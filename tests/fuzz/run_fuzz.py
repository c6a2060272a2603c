#!/usr/bin/env python3
"""Runs one libFuzzer target for a bounded time from its seed corpus.

run_fuzz.py FUZZER NAME SECONDS
Seeds come from tests/fuzz/corpus/NAME/ (checked in, small) and, when tests/fuzz/seeds_NAME.py exists,
from that script (called with an output folder). Any crash, leak or timeout fails the test; the
reproducer is left in the working folder and replays with: FUZZER crash-file.
"""
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))


def main():
    fuzzer, name, seconds = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with tempfile.TemporaryDirectory(prefix="fuzz-" + name + "-") as work:
        corpus = os.path.join(work, "corpus")
        os.makedirs(corpus)
        dirs = [corpus]
        fixed = os.path.join(here, "corpus", name)
        if os.path.isdir(fixed):
            dirs.append(fixed)
        seeds = os.path.join(here, "seeds_" + name + ".py")
        if os.path.isfile(seeds):
            subprocess.run([sys.executable, seeds, corpus], check=True)
        cmd = [fuzzer, "-max_total_time=%d" % seconds, "-timeout=10", "-rss_limit_mb=2048",
               "-max_len=1048576", "-print_final_stats=1", "-artifact_prefix=" + os.getcwd() + "/"] + dirs
        print(" ".join(cmd), flush=True)
        return subprocess.run(cmd).returncode


if __name__ == "__main__":
    sys.exit(main())
