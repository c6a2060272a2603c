#!/usr/bin/env python3
"""Seeds for fuzz_zip (see seeds_fuzz_archives.py)."""
import os
import subprocess
import sys

subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds_fuzz_archives.py"), "zip",
                sys.argv[1]], check=True)
