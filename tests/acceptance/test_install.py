#!/usr/bin/env python3
"""The install rules and the Debian package: `cmake --install` into a temporary DESTDIR puts the
three Linux tools, a man page each (compressed, as Debian installs them), their bash completion
and the package's copyright and changelog in place, and `cpack -G DEB` makes a package that
holds the same files and that Debian's own checker, lintian, accepts without an error or a
warning (where lintian is installed)."""
import argparse
import gzip
import os
import shutil
import subprocess
import sys
import tempfile

PROGRAMS = ["kfsflash", "kfstool", "kfsmerge"]
EXPECTED = ([f"usr/bin/{p}" for p in PROGRAMS] +
            [f"usr/share/man/man1/{p}.1.gz" for p in PROGRAMS] +
            [f"usr/share/bash-completion/completions/{p}" for p in PROGRAMS] +
            ["usr/share/doc/kfs-tools/copyright", "usr/share/doc/kfs-tools/changelog.gz"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    failures = []

    with tempfile.TemporaryDirectory() as work:
        root = os.path.join(work, "root")
        r = subprocess.run(["cmake", "--install", args.bin_dir, "--prefix", "/usr"],
                           env=dict(os.environ, DESTDIR=root), capture_output=True, text=True)
        if r.returncode != 0:
            failures.append("cmake --install: " + r.stderr)
        for path in EXPECTED:
            full = os.path.join(root, path)
            if not os.path.isfile(full) or os.path.getsize(full) == 0:
                failures.append("not installed: " + path)
        for p in PROGRAMS:
            full = os.path.join(root, "usr/bin", p)
            if os.path.exists(full) and not os.access(full, os.X_OK):
                failures.append("not executable: " + full)
            page = os.path.join(root, f"usr/share/man/man1/{p}.1.gz")
            if os.path.exists(page):
                with gzip.open(page, "rt", encoding="utf-8", errors="replace") as f:
                    if ".TH " + p.upper() not in f.read().upper():
                        failures.append("no man page header in " + page)
        for tool in ("kfstool", "kfsmerge"):
            r = subprocess.run([os.path.join(root, "usr/bin", tool), "--version"],
                               capture_output=True, text=True)
            if r.returncode != 0 or not r.stdout.startswith(tool + " "):
                failures.append(f"installed {tool} --version: {r.returncode} {r.stdout!r}")
        r = subprocess.run(["bash", "-n", *[os.path.join(root, e) for e in EXPECTED
                                            if "completions" in e]], capture_output=True,
                           text=True)
        if r.returncode != 0:
            failures.append("completion scripts do not parse: " + r.stderr)

        packages = os.path.join(work, "packages")
        r = subprocess.run(["cpack", "-G", "DEB", "--config",
                            os.path.join(args.bin_dir, "CPackConfig.cmake"), "-B", packages],
                           capture_output=True, text=True)
        debs = [f for f in os.listdir(packages) if f.endswith(".deb")] if os.path.isdir(
            packages) else []
        if r.returncode != 0 or len(debs) != 1:
            failures.append("cpack -G DEB: %d %s %s" % (r.returncode, r.stdout[-500:], r.stderr))
        else:
            deb = os.path.join(packages, debs[0])
            listing = subprocess.run(["dpkg-deb", "--contents", deb], capture_output=True,
                                     text=True).stdout
            for path in EXPECTED:
                if "./" + path not in listing:
                    failures.append(f"{debs[0]} lacks {path}")
            fields = subprocess.run(["dpkg-deb", "--field", deb, "Package", "Version"],
                                    capture_output=True, text=True).stdout
            if "Package: kfs-tools" not in fields:
                failures.append("package fields: " + fields)
            if shutil.which("lintian"):
                r = subprocess.run(["lintian", "--fail-on", "error,warning", deb],
                                   capture_output=True, text=True)
                if r.returncode != 0:
                    failures.append("lintian: " + r.stdout + r.stderr)
            else:
                print("skip: lintian is not installed (scripts/setup-deps.sh installs it)")

    for f in failures:
        print("FAIL:", f)
    if failures:
        return 1
    print("installed and packaged: " + ", ".join(EXPECTED))
    return 0


if __name__ == "__main__":
    sys.exit(main())
