#!/usr/bin/env python3
"""kfsflash on emulated drives: whole updates from a KFS file, from a zip archive and from a
kfsmerge'd updater copy, with the printed lines compared to the program's texts and the command
trace compared to sequences worked out here (containers are built here byte by byte)."""
import argparse
import json
import os
import pty
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import encode_kfs3, pattern, put_inquiry  # noqa: E402
from workspace import Workspace  # noqa: E402

MODEL = b"KEMO    VRZ-3372BL      "
# The window's notice is not shown on a terminal, nor is its restart question asked.
NOTICE = "Important Notice:"
RESTART_QUESTION = "After updating, the system must be restarted."
WRITE_QUESTION = "Write this firmware to this drive? [y/N] yes (--yes)"
INQUIRY_TRACE = "12000000ff00000000000000 in 255"


def image(revision, size=0x20000, model=MODEL):
    """Deterministic content with one INQUIRY block at 0x1000."""
    data = pattern(size)
    put_inquiry(data, 0x1000, model, revision)
    return bytes(data)


def drive(revision, family="mtk5"):
    return {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": revision,
            "hardware_id": "K1", "date_code": "061001", "family": family}


def read_rom_trace(length):
    """ReadRom commands of read-back verification: 256-byte pieces below 2 MB, bank by bank."""
    total = (length + 255) // 256 * 256
    chunk = 4096 if total >= 0x200000 else 256
    lines = []
    for bank in range((total + 0xFFFF) // 0x10000):
        count = min(total - bank * 0x10000, 0x10000)
        for address in range(0, count, chunk):
            cdb = bytes([0x5A, 0, 0x38, 0x4B, 0x45, 0x11, address >> 8, address & 0xFF, 0, bank,
                         chunk >> 8, chunk & 0xFF])
            lines.append(f"{cdb.hex()} in {chunk}")
    return lines


class Runner(Workspace):
    def __init__(self, bin_dir, work):
        super().__init__(work)
        self.kfsflash = os.path.join(bin_dir, "tools", "kfsflash")
        self.kfsmerge = os.path.join(bin_dir, "tools", "kfsmerge")

    def run(self, drives, *args, typed=None):
        desc = self.write("drives.json", json.dumps({"drives": drives}).encode())
        trace = self.path("trace.txt")
        if os.path.exists(trace):
            os.remove(trace)
        stdin, master = subprocess.DEVNULL, None
        if typed is not None:  # answers typed on a pseudo terminal
            master, slave = pty.openpty()
            os.write(master, typed.encode())
            stdin = slave
        # The traces here are the update's own: the backup before it is tested on its own.
        p = subprocess.run([self.kfsflash, "--emulate", desc, "--trace", trace, "--no-backup",
                            *args], stdin=stdin, capture_output=True, text=True, cwd=self.work,
                           timeout=120)
        if master is not None:
            os.close(master)
            os.close(slave)
        with open(trace) as f:
            lines = f.read().splitlines()
        return p, lines

    def check(self, name, condition, detail=""):
        if not condition:
            self.failures += 1
            print(f"FAIL {name}: {detail}")


def subsequence(wanted, lines):
    it = iter(lines)
    return all(any(w == l for l in it) for w in wanted)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        r = Runner(args.bin_dir, work)
        img = image("1.10")
        container = encode_kfs3(img, 0x10000, 6, ide=4)
        kfs_file = r.write("fw.kfs", container)

        # A KFS file and a zip archive whose second member wins (the first names another model).
        other = encode_kfs3(image("1.10", model=b"OTHER   DRIVE           "), 0x10000, 6, ide=4)
        with zipfile.ZipFile(r.path("fw.zip"), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("first.kfs", other)
            z.writestr("second.kfs", container)
        for name, source in (("file", kfs_file), ("zip", r.path("fw.zip"))):
            p, trace = r.run([drive("1.00")], "--load", source, "--verify", "--yes")
            out = p.stdout.splitlines()
            r.check(f"{name} exit", p.returncode == 0, p.stderr)
            r.check(f"{name} lines", NOTICE not in p.stdout and subsequence(
                ["Updating will not be executed until the tray is closed",
                 " without any media inside !", "Updating", "Flashing finished !",
                 "Verifying will not be executed until the tray is closed",
                 " without any media inside !", "Read ROM Data", "Checksum verifying",
                 "Verification finished", "All Completed!",
                 "Restart the machine to complete the update."], out), out)
            r.check(f"{name} questions", WRITE_QUESTION in p.stderr and
                    RESTART_QUESTION not in p.stderr, p.stderr)
            roms = [l for l in trace if l.startswith("5a00384b4511")]
            r.check(f"{name} read-back", roms == read_rom_trace(len(img)),
                    f"{len(roms)} ReadRom commands")
            last_rom = max(i for i, l in enumerate(trace) if l.startswith("5a00384b4511"))
            r.check(f"{name} unlock after read-back",
                    trace[last_rom + 1] == "1e0000000000000000000000 none 0", trace[last_rom + 1])
            # The window's re-identification (three INQUIRYs), then the identity kfsflash prints.
            r.check(f"{name} re-identification", trace[-7:-4] == [INQUIRY_TRACE] * 3, trace[-7:])
            r.check(f"{name} new identity", "The drive now reports: vendor=KEMO "
                    "product=VRZ-3372BL version=1.10" in p.stdout, p.stdout)
            r.check(f"{name} no temp.kfs", not os.path.exists(r.path("temp.kfs")))

        # A newer drive: the downgrade question comes after kfsflash's own and is declined when
        # typed 'n' (a pseudo terminal answers y, then n); nothing is written.
        p, trace = r.run([drive("1.20")], "--load", kfs_file, typed="y\nn\n")
        r.check("downgrade exit", p.returncode == 3, p.returncode)
        r.check("downgrade question",
                "Warning!: 1.20 is newer than 1.10 !! Update the drive ?" in p.stderr, p.stderr)
        r.check("downgrade writes nothing",
                not any(l[:2] in ("3b", "1e") for l in trace), trace[-5:])

        # An updater copy made with kfsmerge from the native program (shipped updater text).
        merged = r.path("updater")
        subprocess.run([r.kfsmerge, r.kfsflash, "-o", merged, "--kfs1", kfs_file], check=True,
                       capture_output=True)
        p, trace = r.run([drive("1.00")], "--embedded", merged, "--yes")
        out = p.stdout.splitlines()
        r.check("updater exit", p.returncode == 0, p.stderr)
        r.check("updater lines", subsequence(["Updating", "Flashing finished !",
                                              "All Completed!"], out), out)
        # Updater role: the window reads no date code after the update.
        r.check("updater re-identification", trace[-6:-4] == [INQUIRY_TRACE] * 2
                and trace[-7] != INQUIRY_TRACE, trace[-7:])
        p, _ = r.run([drive("1.00")], "--embedded", merged, "--list")
        r.check("updater list", p.stdout.splitlines() == [
            "0: emulated:0  vendor=KEMO product=VRZ-3372BL version=1.00 hardware-id=K1 "
            "date-code=061001"], repr(p.stdout))

        # Usage errors.
        for bad in (["--bogus"], ["--drive"], ["--yes", "--no"]):
            p = subprocess.run([r.kfsflash, *bad], capture_output=True, timeout=30)
            r.check(f"usage {bad}", p.returncode == 2, p.returncode)

        if r.failures:
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
