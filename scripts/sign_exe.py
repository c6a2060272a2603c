#!/usr/bin/env python3
"""Signs a Windows executable in place with Authenticode (SHA-256) through osslsigncode, as the build signs
setup.exe when ZARNITH_SIGN_PFX is given.

    sign_exe.py --pfx CERT.p12 [--timestamp URL] [--description TEXT] [--osslsigncode PATH] EXE

The password of the PKCS#12 file comes from the environment variable ZARNITH_SIGN_PASSWORD (unset or empty:
a file without a password). It never appears on a command line: osslsigncode reads it from a pipe on its
standard input (-readpass /dev/stdin), so no process listing, build log or file holds it.

On a failure EXE is removed, so that the next build links and signs it again instead of taking an unsigned
file for a finished one, and the exit code is 1 with osslsigncode's reason on standard error.
"""
import argparse
import os
import subprocess
import sys

PASSWORD_VARIABLE = "ZARNITH_SIGN_PASSWORD"


def sign(exe, pfx, timestamp=None, description=None, tool="osslsigncode"):
    """Signs exe in place; returns None, or the reason it could not be signed (exe is then removed)."""
    password = os.environ.get(PASSWORD_VARIABLE, "")
    out = exe + ".signing"
    cmd = [tool, "sign", "-pkcs12", pfx, "-h", "sha256"]
    if password:
        # One read() of the pipe takes the whole line: a write of this size is atomic.
        cmd += ["-readpass", "/dev/stdin"]
    if description:
        cmd += ["-n", description]
    if timestamp:
        cmd += ["-ts", timestamp]
    cmd += ["-in", exe, "-out", out]
    try:
        done = subprocess.run(cmd, input=(password + "\n").encode() if password else None,
                              stdin=None if password else subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        why = None if done.returncode == 0 and os.path.isfile(out) else done.stdout.decode("utf-8", "replace")
    except OSError as e:
        why = "cannot run %s: %s" % (tool, e)
    if why is None:
        os.replace(out, exe)
        return None
    for path in (out, exe):
        if os.path.exists(path):
            os.remove(path)
    lines = [l for l in why.strip().splitlines() if l.strip() and l.strip() != "Failed"]
    why = "\n".join(lines) or "osslsigncode failed without saying why"
    if not password:
        why += "\n(%s is not set: a certificate file with a password needs it)" % PASSWORD_VARIABLE
    return why


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--pfx", required=True, help="PKCS#12 file with the code-signing certificate and its key")
    ap.add_argument("--timestamp", help="URL of an RFC 3161 time-stamp server")
    ap.add_argument("--description", help="the program's name in the signature (shown by Windows' prompts)")
    ap.add_argument("--osslsigncode", default="osslsigncode")
    ap.add_argument("exe")
    args = ap.parse_args()
    why = sign(args.exe, args.pfx, args.timestamp, args.description, args.osslsigncode)
    if why:
        sys.stderr.write("signing %s failed:\n%s\n" % (args.exe, why))
        return 1
    print("signed %s with %s" % (os.path.basename(args.exe), os.path.basename(args.pfx)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
