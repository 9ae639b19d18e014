#!/usr/bin/env python3
"""End to end: the Windows transport over the emulated WNASPI32.DLL.

Under Wine's Windows 98 mode, with the emulator's WNASPI32.DLL in the prefix's system directory
and set to native, the probe program must find the emulated CD-ROM drives in host adapter,
target, LUN order (and no other device), read each identity through the identification commands,
and leave exactly the expected command trace. The same program under Windows XP (per-program
version setting in the same prefix) takes the pass-through back end and finds no CD-ROM letter.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile

DRIVES = {
    "drives": [
        {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": "1.00", "hardware_id": "K1",
         "date_code": "061122", "vendor_page": True, "family": "mtk5", "flash_size": 2097152,
         "keeps_checksum": True, "host_adapter": 1, "target": 0, "lun": 0},
        {"vendor": "KEMO", "product": "VRZ-3350A", "revision": "1.05", "hardware_id": "A3",
         "date_code": "050301", "vendor_page": False, "family": "a0",
         "host_adapter": 0, "target": 2, "lun": 1},
        {"vendor": "DISK", "product": "NOT A CDROM", "device_type": 0,
         "host_adapter": 0, "target": 0, "lun": 0},
        {"vendor": "LITE", "product": "DVD X", "revision": "2.10", "hardware_id": "L9",
         "date_code": "990101", "vendor_page": False, "family": "ali",
         "host_adapter": 0, "target": 2, "lun": 0},
    ]
}

EXPECTED_WIN98 = """UsesPassThrough 0
DriveCount 3
drive 0 address 0:2:0 inquiry [LITE    DVD X           2.10]
drive 0 model [LITE    DVD X           ] version [2.10] hardware [L9] date [990101]
drive 0 vendor page ok 0 sense 05/24/00
drive 1 address 0:2:1 inquiry [KEMO    VRZ-3350A       1.05]
drive 1 model [KEMO    VRZ-3350A       ] version [1.05] hardware [A3] date [050301]
drive 1 vendor page ok 0 sense 05/24/00
drive 2 address 1:0:0 inquiry [KEMO    VRZ-3372BL      1.00]
drive 2 model [KEMO    VRZ-3372BL      ] version [1.00] hardware [K1] date [061122]
drive 2 vendor page ok 1 sense 00/00/00
past table model []
"""

EXPECTED_NT = """UsesPassThrough 1
DriveCount 0
past table model []
"""

SCAN_INQUIRY = "120000002400000000000000 in 36"
INQUIRY = "12000000ff00000000000000 in 255"
VENDOR_PAGE = "5a00384b4510000000040000 in 20"


def expected_trace():
    # The scan's INQUIRY per CD-ROM; then per drive: model name, version, hardware id (vendor
    # page, INQUIRY when the page is not answered), date code, the probe's own vendor page.
    lines = [SCAN_INQUIRY] * 3
    for answers_vendor_page in (False, False, True):
        lines += [INQUIRY, INQUIRY, VENDOR_PAGE]
        if not answers_vendor_page:
            lines.append(INQUIRY)
        lines.append(INQUIRY)
        lines.append(VENDOR_PAGE)
    return lines


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# The Wine loader and prefix architecture of the build under test: 32-bit Wine for the i686
# build; the x86_64 build sets the 64-bit loader and win64 (see scripts/wine-arch.sh).
WINE = os.environ.get("KFS_WINE", "wine")
WINEARCH = os.environ.get("WINEARCH", "win32")


def wine_env(prefix):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=WINEARCH, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    return env


def run(cmd, env, timeout):
    return subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()

    env = wine_env(args.prefix)
    setup = os.path.join(args.source_dir, "scripts", "wine-win98-prefix.sh")
    result = run(["timeout", "600", setup, args.prefix, args.dll], env, 700)
    if result.returncode != 0:
        print("prefix set-up failed:", result.stdout, result.stderr)
        return 1

    failures = []
    work = tempfile.mkdtemp(prefix="aspi-e2e-", dir=os.path.dirname(args.prefix))
    try:
        drives = os.path.join(work, "drives.json")
        with open(drives, "w") as f:
            json.dump(DRIVES, f)
        env["KFS_EMULATOR_DRIVES"] = windows_path(drives)

        # Windows 98: the ASPI back end over the emulated library, once with requests finished
        # on the library's worker thread (the transport waits for the event) and once finished
        # inside SendASPI32Command.
        for mode in ("worker", "sync"):
            trace = os.path.join(work, "trace-%s.txt" % mode)
            env["KFS_EMULATOR_TRACE"] = windows_path(trace)
            env["KFS_EMULATOR_SYNC"] = "1" if mode == "sync" else "0"
            result = run(["timeout", "120", WINE, args.probe], env, 150)
            output = result.stdout.replace("\r\n", "\n")
            if result.returncode != 0 or output != EXPECTED_WIN98:
                failures.append("win98 %s run (exit %d):\n%s\nexpected:\n%s\nstderr:\n%s"
                                % (mode, result.returncode, output, EXPECTED_WIN98,
                                   result.stderr))
            got = open(trace).read().splitlines() if os.path.exists(trace) else []
            if got != expected_trace():
                failures.append("%s trace:\n%s\nexpected:\n%s"
                                % (mode, "\n".join(got), "\n".join(expected_trace())))
        del env["KFS_EMULATOR_TRACE"]

        # Windows XP for this one program: the pass-through back end finds no CD-ROM letter.
        nt_probe = os.path.join(work, "aspi_probe_nt.exe")
        shutil.copy(args.probe, nt_probe)
        run(["timeout", "120", WINE, "reg", "add",
             "HKCU\\Software\\Wine\\AppDefaults\\aspi_probe_nt.exe", "/v", "Version",
             "/d", "winxp", "/f"], env, 150)
        result = run(["timeout", "120", WINE, nt_probe], env, 150)
        output = result.stdout.replace("\r\n", "\n")
        if result.returncode != 0 or output != EXPECTED_NT:
            failures.append("winxp run (exit %d):\n%s\nexpected:\n%s\nstderr:\n%s"
                            % (result.returncode, output, EXPECTED_NT, result.stderr))
    finally:
        run(["timeout", "60", "wineserver", "-k"], env, 90)
        shutil.rmtree(work, ignore_errors=True)

    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print("emulated drives listed and identified under Windows 98; none under Windows XP")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
