#!/usr/bin/env python3
"""kfsflash as a user with a real drive meets it: a table of whole runs through the binary against
emulated drives, each with its exit status, what it printed and, from the command trace, whether
anything reached the flash. Containers are built here byte by byte (kfs_fixtures)."""
import argparse
import json
import os
import pty
import stat
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import encode_kfs3, noise, put_inquiry  # noqa: E402
from workspace import Workspace  # noqa: E402

MODEL = "KEMO    VRZ-3372BL"
OK, USAGE, NOTHING_WRITTEN, WRITE_FAILED, NOT_CONFIRMED, INTERRUPTED = 0, 2, 3, 4, 5, 130


def image(revision, model=MODEL, size=0x20000):
    data = noise(size, 7)
    put_inquiry(data, 0x1000, model, revision)
    return bytes(data)


def container(revision="1.10", model=MODEL, **kw):
    return encode_kfs3(image(revision, model), 0x10000, 6, **kw)


def drive(revision="1.00", product="VRZ-3372BL", **kw):
    d = {"vendor": "KEMO", "product": product, "revision": revision, "hardware_id": "K1",
         "date_code": "061001", "family": "mtk5"}
    d.update(kw)
    return d


def written(trace):
    """WRITE BUFFER (3Bh) carries the image to an mtk5 drive: any one means the flash was
    touched."""
    return any(line.startswith("3b") for line in trace)


class Runner(Workspace):
    def __init__(self, bin_dir, work):
        super().__init__(work)
        self.kfsflash = os.path.abspath(os.path.join(bin_dir, "tools", "kfsflash"))

    def run(self, drives, args, typed=None, env=None, user=None, timeout=120):
        """Runs kfsflash; `typed` is fed through a pseudo terminal (standard input is then a
        terminal), otherwise standard input is /dev/null."""
        argv = [self.kfsflash]
        trace = self.path("trace.txt")
        if os.path.exists(trace):
            os.remove(trace)
        if drives is not None:
            desc = self.write("drives.json", json.dumps({"drives": drives}).encode())
            argv += ["--emulate", desc, "--trace", trace]
        argv += args
        stdin, master = subprocess.DEVNULL, None
        if typed is not None:
            master, slave = pty.openpty()
            os.write(master, typed.encode())
            stdin = slave
        p = subprocess.run(argv, stdin=stdin, capture_output=True, text=True, cwd=self.work,
                           timeout=timeout, env=env, user=user)
        if master is not None:
            os.close(master)
            os.close(slave)
        lines = []
        if os.path.exists(trace):
            with open(trace) as f:
                lines = f.read().splitlines()
        return p, lines

    def check(self, name, condition, detail="", expected_failure=None):
        if condition:
            if expected_failure:
                print(f"XPASS {name}: remove the expected-failure mark ({expected_failure})")
            return
        if expected_failure:
            print(f"XFAIL {name}: {expected_failure}")
            return
        self.failures += 1
        print(f"FAIL {name}: {detail}")


def update_table(r):
    fw = r.write("fw.kfs", container())
    other = r.write("other.kfs", container(model="OTHER   DRIVE"))
    bad_sum = r.write("badsum.kfs", container(checksum=0x1234))
    truncated = r.write("truncated.kfs", container()[:0x18000])
    with zipfile.ZipFile(r.path("fw.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("fw.kfs", container())

    # name, drives, arguments, typed answer, status, texts printed, written, expected failure
    rows = [
        ("no terminal, no --yes", [drive()], [fw], None, NOTHING_WRITTEN,
         ["Write this firmware to this drive? [y/N] no (standard input is not a terminal"],
         False, None),
        ("--no", [drive()], [fw, "--no"], None, NOTHING_WRITTEN, ["no (--no)"], False, None),
        ("n typed at the question", [drive()], [fw], "n\n", NOTHING_WRITTEN,
         ["Write this firmware to this drive? [y/N]", "nothing was written"], False, None),
        ("y typed at the question", [drive()], [fw], "y\n", OK,
         ["The drive now reports: vendor=KEMO product=VRZ-3372BL version=1.10"], True, None),
        ("wrong model", [drive()], [other, "--yes"], None, NOTHING_WRITTEN,
         ["refusing to write: the firmware is for 'OTHER   DRIVE           ' but the drive is "
          "'KEMO    VRZ-3372BL      ' (--force writes it anyway)"], False, None),
        ("bad check sum", [drive()], [bad_sum, "--yes"], None, NOTHING_WRITTEN,
         ["refusing to write: the firmware's header check sum 1234 differs", "--force"],
         False, None),
        # Refused today by its check sum (the missing bytes read as zero); the mended load
        # refuses it as it reads it.
        ("truncated container", [drive()], [truncated, "--yes"], None, NOTHING_WRITTEN,
         ["Not Valid KFS !"], False, None),
        ("same version", [drive("1.10")], [fw, "--no"], None, NOTHING_WRITTEN,
         ["The drive already has version 1.10. Write it again? [y/N] no (--no)"], False, None),
        ("--force", [drive()], [other, "--yes", "--force", "--no-verify"], None, OK,
         ["writing despite --force: the firmware is for 'OTHER   DRIVE"], True, None),
        ("two drives, the firmware's model second",
         [drive(product="VRZ-1000"), drive()], [fw, "--yes"], None, OK,
         ["Drive emulated:1\n", "The drive now reports: vendor=KEMO product=VRZ-3372BL "
          "version=1.10"], True, None),
        ("two drives, --drive=0 names the other model",
         [drive(product="VRZ-1000"), drive()], [fw, "--yes", "--drive=0"], None,
         NOTHING_WRITTEN, ["Drive emulated:0\n", "refusing to write"], False, None),
        ("tray open with a disc under --yes", [drive(tray_open=True, medium=True)],
         [fw, "--yes"], None, NOTHING_WRITTEN,
         ["Check: Please remove your disc from the tray and answer y to continue !",
          "only a person at the drive can do this"], False, None),
        ("a flash byte that does not take", [drive(faults=[{"flip_flash_byte": 0x2345}])],
         [fw, "--yes"], None, NOT_CONFIRMED,
         ["the firmware was written, but the update could not be confirmed"], True, None),
        ("a drive that stays in BOOT", [drive(faults=[{"stay_boot": 3}])], [fw, "--yes"],
         None, WRITE_FAILED, ["Error: Flash Error!", "the write failed: the drive may need "
                              "recovery"], True, None),
        # The drive refuses every WRITE BUFFER: the failure text is followed by the command
        # and the drive's sense with its names; it took no block, so nothing was written.
        ("a drive that refuses the flash blocks",
         [drive(faults=[{"command": "3b", "nth": 0, "sense": "05/24/00"}])], [fw, "--yes"],
         None, NOTHING_WRITTEN,
         ["Error: Write Buffer Fail !\n  failed command: 3B WRITE BUFFER (flash block)\n"
          "  cause: 05/24/00 ILLEGAL REQUEST, INVALID FIELD IN CDB\n",
          "nothing was written: the drive took none of the write commands"], True, None),
        ("no firmware file", [drive()], ["--yes"], None, USAGE, ["no firmware file given"],
         False, None),
        ("missing file", [drive()], [r.path("absent.kfs"), "--yes"], None, NOTHING_WRITTEN,
         ["Error: Get KFS File Length Fail !"], False, None),
    ]
    for name, drives, args, typed, status, texts, wrote, xfail in rows:
        p, trace = r.run(drives, args, typed=typed)
        out = p.stdout + p.stderr
        r.check(f"{name}: exit status", p.returncode == status,
                f"{p.returncode} != {status}\n{out}", xfail)
        for text in texts:
            r.check(f"{name}: prints {text!r}", text in out, out, xfail)
        r.check(f"{name}: written", written(trace) == wrote, f"written is {written(trace)}",
                xfail)
        if name.startswith("a drive that refuses"):
            r.check(f"{name}: the trace gives each refused block its sense",
                    "3b0600000000004000000000 out 16384 sense 05/24/00" in trace and
                    trace[-1] == "1e0000000000000000000000 none 0", trace[-3:])
        if name.startswith("tray"):
            r.check(f"{name}: the tray cycle is bounded", len(trace) < 200, len(trace))

    # Progress in a pipe: whole lines, one per tenth, no carriage returns.
    p, _ = r.run([drive()], [fw, "--yes"])
    steps = [line for line in p.stderr.splitlines() if line.startswith("progress ")]
    r.check("progress in a pipe", "\r" not in p.stderr and "progress 10%" in steps and
            "progress 100%" in steps and len(steps) < 100, steps)

    p, trace = r.run([drive()], [truncated, "--yes"])
    r.check("truncated container: refused at load", "Error: Not Valid KFS !" in p.stderr and
            "Drive emulated:0" not in p.stdout, p.stderr)

    # A user's own temp.kfs in the working directory survives a load from a zip archive.
    r.write("temp.kfs", b"the user's own file")
    p, trace = r.run([drive()], [r.path("fw.zip"), "--yes"])
    r.check("zip: exit status", p.returncode == OK, p.stdout + p.stderr)
    r.check("zip: written", written(trace))
    kept = os.path.exists(r.path("temp.kfs")) and open(r.path("temp.kfs"), "rb").read() == \
        b"the user's own file"
    r.check("zip: a user's temp.kfs is left untouched", kept, "")


def listing_and_conventions(r):
    drives = [drive(), drive("1.05", product="VRZ-1000"), drive(device_type=0)]
    p, trace = r.run(drives, ["--list", "--json"])
    r.check("--list --json: exit status", p.returncode == OK, p.stderr)
    try:
        listed = json.loads(p.stdout)
    except ValueError:
        listed = []
    r.check("--list --json: the two drives, not the other device",
            [(d["index"], d["path"], d["product"], d["version"]) for d in listed] ==
            [(0, "emulated:0", "VRZ-3372BL", "1.00"), (1, "emulated:1", "VRZ-1000", "1.05")],
            p.stdout)
    r.check("--list --json: nothing written", not written(trace))

    p, _ = r.run(drives, ["--list"])
    r.check("--list: one labelled line per drive", p.stdout.splitlines() == [
        "0: emulated:0  vendor=KEMO product=VRZ-3372BL version=1.00 hardware-id=K1 "
        "date-code=061001",
        "1: emulated:1  vendor=KEMO product=VRZ-1000 version=1.05 hardware-id=K1 "
        "date-code=061001"], p.stdout)
    r.check("--list: no notice lines", "Important Notice" not in p.stdout + p.stderr)

    for args in (["--help"], ["-h"]):
        p, _ = r.run(None, args)
        r.check(f"{args[0]}: status 0 on standard output", p.returncode == OK and
                "Exit status:" in p.stdout and "--drive" in p.stdout and not p.stderr,
                p.stdout + p.stderr)
    p, _ = r.run(None, ["--version"])
    r.check("--version", p.returncode == OK and p.stdout.startswith("kfsflash "), p.stdout)
    for bad in (["--bogus"], ["--drive"], ["--yes", "--no"], ["--json"]):
        p, _ = r.run(None, bad)
        r.check(f"usage {bad}", p.returncode == USAGE, p.returncode)


def device_without_permission(r):
    """A stand-in /dev: sr0 cannot be opened by the user, sr1 opens but is no drive."""
    dev = r.path("dev")
    os.makedirs(dev, exist_ok=True)
    for name, mode in (("sr0", 0o600), ("sr1", 0o644)):
        with open(os.path.join(dev, name), "wb"):
            pass
        os.chmod(os.path.join(dev, name), mode)
    user = None
    if os.geteuid() == 0:
        user = 65534  # root opens anything: run as nobody
        os.chmod(r.work, 0o755)
    else:
        os.chmod(os.path.join(dev, "sr0"), 0)
    env = dict(os.environ, KFSFLASH_DEV_DIR=dev)
    p, _ = r.run(None, ["--list"], env=env, user=user)
    r.check("no permission: exit status", p.returncode == NOTHING_WRITTEN, p.returncode)
    r.check("no permission: reason and advice", p.stdout.splitlines()[:2] == [
        "-: /dev/sr0  cannot open: Permission denied",
        "   run as root, or give your user access to the device"], p.stdout)
    r.check("no permission: a device that is no drive is not listed", "sr1" not in p.stdout,
            p.stdout)
    p, _ = r.run(None, ["--list", "--json"], env=env, user=user)
    r.check("no permission: JSON", json.loads(p.stdout or "[]") == [
        {"index": None, "path": "/dev/sr0", "error": "Permission denied",
         "advice": "run as root, or give your user access to the device"}], p.stdout)
    p, _ = r.run(None, [r.path("fw.kfs"), "--yes"], env=env, user=user)
    r.check("no permission: an update says why it writes nothing",
            p.returncode == NOTHING_WRITTEN and "cannot open /dev/sr0: Permission denied; "
            "run as root" in p.stderr,
            f"{p.returncode} {p.stderr}")
    p, _ = r.run(None, [], env=env, user=user)
    r.check("no arguments: the list and how to go on",
            "cannot open" in p.stdout and "To write firmware to a drive" in p.stdout, p.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
        r = Runner(args.bin_dir, work)
        update_table(r)
        listing_and_conventions(r)
        device_without_permission(r)
        if r.failures:
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
