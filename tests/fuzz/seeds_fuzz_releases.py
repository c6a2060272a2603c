#!/usr/bin/env python3
"""Seeds for fuzz_releases: the sample CD's list as the build makes it, a list of two releases with names
in several scripts, and the sample list cut short.

    seeds_fuzz_releases.py OUTDIR
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "res"))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))
import make_cd  # noqa: E402
import make_dat  # noqa: E402


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    sample = make_dat.pack(make_dat.read_dat(make_cd.dat_text()))
    two = make_dat.pack([("Game (Rev A) & more", [("GAME.EXE", 100, 1), ("DATA\\X.DAT", 200, 2)]),
                         ("Łódź «Игры» 游戏", [("GAME.EXE", 120, 3), ("DATA\\X.DAT", 200, 2), ("DATA\\W.DAT", 0, 0)])])
    for name, data in {"sample": sample, "two": two, "cut": sample[:len(sample) // 2]}.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
