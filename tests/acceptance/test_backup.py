#!/usr/bin/env python3
"""Backup and restore through the real kfsflash on emulated drives of every family.

The drive keeps its flash in a file between runs (the emulator's rom_file), so that one run can
update it with the automatic backup, and a later one can restore the backup with an ordinary
update: the backup must hold the flash as it was over the range the update overwrote, the restore
must ask the downgrade question and leave the flash byte for byte as it was. Also --backup FILE
on its own, and a drive that refuses ReadROM."""
import argparse
import glob
import json
import os
import pty
import struct
import subprocess
import sys
import tempfile
import zipfile
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import (byte_sum, encode_kfs3, encode_philips, flash_content, noise,  # noqa: E402
                          put_inquiry)
from workspace import Workspace  # noqa: E402

MODEL = "KEMO    VRZ-3372BL"
KB16, KB64 = 0x4000, 0x10000
BACKUP_LINE = "Backup of the drive's flash: "


@dataclass
class Family:
    emulated: str
    atapi: int | None  # None: the Philips form
    size: int          # image length
    extent: int        # bytes from the flash's start the update programs
    seed: int


FAMILIES = [
    Family("a0", 1, 2 * KB64, 2 * KB64, 31),
    Family("a0-poll", 4, 2 * KB64, 2 * KB64, 32),
    Family("a0-32k", 7, KB64 + KB64 // 2, 2 * KB64, 33),
    Family("ali", 2, 5 * KB16, 5 * KB16, 34),
    Family("mtk5", 6, 16 * KB64, 16 * KB64, 35),
    Family("mtk7", 8, KB64, 2 * KB64, 36),
    Family("philips", None, 3 * KB16 - 40, 3 * KB16, 37),
]


def firmware(f, revision, flash):
    """A firmware file of the family; the bytes an A0 drive is never sent (the last two of each
    whole bank) hold what its flash holds, as the drive's trigger sum covers them."""
    image = noise(f.size, f.seed + ord(revision[0]))
    put_inquiry(image, 0x1000, MODEL, revision)
    if f.atapi == 7:  # version and date code come from the second block
        put_inquiry(image, 0x2000, MODEL, revision)
    if f.atapi in (1, 4):
        for bank in range(0, f.size // KB64 * KB64, KB64):
            image[bank + 0xFFFE:bank + KB64] = flash[bank + 0xFFFE:bank + KB64]
    if f.atapi is None:
        return encode_philips(image, byte_sum(image), 0xA55A)
    return encode_kfs3(bytes(image), len(image), f.atapi)


def read_backup(path):
    """(AtapiFlashType, image) of a backup: a KFS3 container, or a zip holding a Philips file."""
    if path.endswith(".zip"):
        with zipfile.ZipFile(path) as z:
            data = z.read(z.namelist()[-1])
        assert data.startswith(b"Philips"), data[:16]
        return None, data[36:-4]
    with open(path, "rb") as f:
        data = f.read()
    assert data[:16] == b"KEMO FILE SYSTEM" and data[24] == ord("3"), data[:32]
    atapi = data[27]
    banks, stride, reserved = struct.unpack_from("<III", data, 36)
    sizes = struct.unpack_from(f"<{banks}I", data, 56)
    at = 56 + 4 * banks + 8 * reserved
    image = bytearray(banks * stride)
    for i, size in enumerate(sizes):
        image[i * stride:i * stride + size] = data[at:at + size]
        at += size
    return atapi, bytes(image)


class Runner(Workspace):
    def __init__(self, bin_dir, work):
        super().__init__(work)
        self.kfsflash = os.path.join(bin_dir, "tools", "kfsflash")
        self.kfstool = os.path.join(bin_dir, "tools", "kfstool")

    def firmware_file(self, name, f, data):
        """A Philips file goes into a zip: a load takes a bare file only when it is a KFS."""
        if f.atapi is not None:
            return self.write(name, data)
        with zipfile.ZipFile(self.path(name + ".zip"), "w") as z:
            z.writestr("firmware.bin", data)
        return self.path(name + ".zip")

    def run(self, f, revision, *args, faults=(), typed=None):
        """Runs kfsflash on the family's drive; `typed` is fed through a pseudo terminal."""
        drive = {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": revision,
                 "hardware_id": "K1", "date_code": "061001", "family": f.emulated,
                 "seed": f.seed, "rom_file": self.rom(f), "faults": list(faults)}
        desc = self.write("drives.json", json.dumps({"drives": [drive]}).encode())
        trace = self.path("trace.txt")
        if os.path.exists(trace):
            os.remove(trace)
        stdin, master = subprocess.DEVNULL, None
        if typed is not None:
            master, slave = pty.openpty()
            os.write(master, typed.encode())
            stdin = slave
        # A Philips-form file names no drive: kfsflash writes it only with --force.
        force = ["--force"] if f.atapi is None else []
        p = subprocess.run([self.kfsflash, "--emulate", desc, "--trace", trace, *args, *force],
                           stdin=stdin, capture_output=True, text=True, cwd=self.work,
                           timeout=300)
        if master is not None:
            os.close(master)
            os.close(slave)
        with open(trace) as t:
            return p, t.read().splitlines()

    def rom(self, f):
        return self.path(f.emulated + ".rom")

    def flash(self, f):
        with open(self.rom(f), "rb") as r:
            return r.read()

    def check(self, name, condition, detail=""):
        if not condition:
            self.failures += 1
            print(f"FAIL {name}: {str(detail)[:2000]}")
        return condition


def backup_named(out):
    named = [line[len(BACKUP_LINE):] for line in out.splitlines() if line.startswith(BACKUP_LINE)]
    return named[0] if len(named) == 1 else None


def test_backup_and_restore(r, f):
    name = f.emulated
    v1 = r.firmware_file(f"{name}-1.00", f, firmware(f, "1.00", flash_content(f.seed, f.size)))
    p, _ = r.run(f, "0.90", "--load", v1, "--yes", "--no-backup")
    if not r.check(f"{name} first update", p.returncode == 0, p.stderr):
        return
    as_it_was = r.flash(f)

    # The update to 2.00 backs the drive up into --backup-dir first and names the file.
    v2 = r.firmware_file(f"{name}-2.00", f, firmware(f, "2.00", as_it_was))
    p, trace = r.run(f, "1.00", "--load", v2, "--yes", "--backup-dir", "backups")
    r.check(f"{name} update exit", p.returncode == 0, p.stderr)
    backup = backup_named(p.stdout)
    if not r.check(f"{name} backup named", backup is not None, p.stdout):
        return
    r.check(f"{name} backup place",
            os.path.dirname(backup) == "backups"
            and os.path.basename(backup).startswith("KEMO_VRZ-3372BL_1.00_")
            and backup.endswith(".zip" if f.atapi is None else ".kfs"), backup)
    backup = r.path(backup)
    atapi, image = read_backup(backup)
    r.check(f"{name} backup content", image == as_it_was[:f.extent],
            f"{len(image)} bytes, flash range {f.extent}")
    r.check(f"{name} backup flash type", atapi == f.atapi, atapi)
    first_write = next(i for i, l in enumerate(trace) if not l.startswith(("5a00384b4511", "12",
                                                                            "00", "1b", "4a",
                                                                            "5a00384b4510")))
    r.check(f"{name} backup before the first write",
            sum(l.startswith("5a00384b4511") for l in trace[:first_write]) > 0, trace[:5])
    if f.atapi is not None:
        info = subprocess.run([r.kfstool, "info", backup], capture_output=True, text=True)
        r.check(f"{name} kfstool info", info.returncode == 0 and "KFS3" in info.stdout,
                info.stdout + info.stderr)
    updated = r.flash(f)

    # Restoring is an ordinary update from the backup; the drive is newer, so it asks first.
    question = "Warning!: 2.00 is newer than 1.00 !! Update the drive ?"
    # Yes to writing, no to the downgrade.
    p, _ = r.run(f, "2.00", "--load", backup, typed="y\nn\n")
    r.check(f"{name} declined restore", p.returncode == 3 and question in p.stderr, p.stderr)
    r.check(f"{name} declined restore writes nothing", r.flash(f) == updated)
    verify = [] if f.atapi is None else ["--verify"]
    p, _ = r.run(f, "2.00", "--load", backup, "--yes", "--no-backup", *verify)
    r.check(f"{name} restore", p.returncode == 0 and question in p.stderr
            and "All Completed!" in p.stdout.splitlines(), p.stdout + p.stderr)
    r.check(f"{name} restored flash", r.flash(f) == as_it_was)


def test_backup_command(r):
    f = FAMILIES[5]
    os.remove(r.rom(f))
    p, trace = r.run(f, "1.00", "--backup", "mine.kfs", "--size", "4096", "--flash-type", "8")
    r.check("--backup exit", p.returncode == 0, p.stderr)
    r.check("--backup line", backup_named(p.stdout) == "mine.kfs", p.stdout)
    r.check("--backup reads only", all(l.startswith(("12", "00", "5a00384b45")) for l in trace),
            trace)
    atapi, image = read_backup(r.path("mine.kfs"))
    r.check("--backup content", atapi == 8 and image == flash_content(f.seed, 4096), atapi)
    p, _ = r.run(f, "1.00", "--backup", "big.kfs")
    _, image = read_backup(r.path("big.kfs"))
    r.check("--backup 2 MB by default", p.returncode == 0 and len(image) == 0x200000,
            len(image))


def test_refused_read_rom(r):
    f = FAMILIES[5]
    os.remove(r.rom(f))
    fw = r.firmware_file("refused", f, firmware(f, "1.00", b""))
    refusal = {"command": "5a:11", "sense": "05/24/00"}
    message = ("Backup: No backup of the drive's flash was made: the drive refused to read its "
               "flash (ReadROM, sense 05/24/00).\nGo on and write the drive without a backup?")
    # Yes to writing, no to going on without a backup.
    p, trace = r.run(f, "0.90", "--load", fw, faults=[refusal], typed="y\nn\n")
    r.check("refused ReadROM asks", message in p.stderr, p.stderr)
    r.check("declined: nothing written", p.returncode == 3
            and not any(l.startswith("3b") for l in trace), trace[-5:])
    # --yes answers the update's questions, not whether to write without a backup.
    p, trace = r.run(f, "0.90", "--load", fw, "--yes", "--no-verify", faults=[refusal])
    r.check("--yes stops without a backup", p.returncode == 3 and message in p.stderr
            and "--no-backup writes without a backup" in p.stderr
            and not any(l.startswith("3b") for l in trace), (p.returncode, p.stderr))
    # A person at the terminal may still say so. Verification reads the flash back with ReadROM
    # as well: off for this drive.
    p, trace = r.run(f, "0.90", "--load", fw, "--no-verify", faults=[refusal], typed="y\ny\n")
    r.check("y typed goes on without a backup", p.returncode == 0 and message in p.stderr
            and any(l.startswith("3b") for l in trace), (p.returncode, p.stderr))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        r = Runner(args.bin_dir, work)
        os.mkdir(r.path("backups"))
        for f in FAMILIES:
            test_backup_and_restore(r, f)
        test_backup_command(r)
        test_refused_read_rom(r)
        if r.failures:
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
