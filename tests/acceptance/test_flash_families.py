#!/usr/bin/env python3
"""A whole update of an emulated drive of every flash family through kfsflash.

For each family the container is built here, the drive is described here, and the commands the
flash procedure must send are worked out here from the procedure descriptions: kfsflash's trace
from the medium lock to the end must follow that sequence (polling commands, whose count depends
on the drive's timing, may repeat). The list lines printed on standard output must be the
program's texts in order. Each family also gets one injected fault that makes its procedure fail
with its own text. A few families load from a zip archive and from a kfsmerge'd updater copy."""
import argparse
import json
import os
import pty
import subprocess
import sys
import tempfile
import threading
import zipfile
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import (byte_sum, decoded_image, encode_kfs3, encode_philips,  # noqa: E402
                          fix_data_checksum, flash_content, inquiry_blocks, noise, put_inquiry)
from workspace import Workspace  # noqa: E402

MODEL = "KEMO    VRZ-3372BL"
KB64 = 0x10000


# ---- trace lines ------------------------------------------------------------------------------

def line(cdb, direction="none", length=0):
    cdb = bytes(cdb)
    assert len(cdb) == 12
    return f"{cdb.hex()} {direction} {length}"


def vendor(page, *rest):
    return [0x5A, 0x00, page, 0x4B, 0x45, *rest] + [0] * (7 - len(rest))


TUR = line([0] * 12)
LOCK = line([0x1E, 0, 0, 0, 1] + [0] * 7)
UNLOCK = line([0x1E] + [0] * 11)
INQUIRY = line([0x12, 0, 0, 0, 0xFF] + [0] * 7, "in", 255)
TRAY_CHECK = [line([0x1B, 1, 0, 0, 3] + [0] * 7),
              line([0x4A, 1, 0, 0, 0x10, 0, 0, 0, 0x10, 0, 0, 0], "in", 16),
              line([0x4A, 1, 0, 0, 0x50, 0, 0, 0, 0x10, 0, 0, 0], "in", 16)]
READ_A3 = line(vendor(0x38, 0xA3), "in", 65535)
FEATURE = line(vendor(0x34, 0x00), "in", 10)
GET_SUM = line(vendor(0x34, 0x0B), "in", 8)


def set_sum(p, q):
    return line(vendor(0x34, 0x0B, 0x01, p >> 8, p & 0xFF, q >> 8, q & 0xFF), "out", 10)


def a0_write(bank, field, length):
    """A0 bank write; bytes 8-9 carry the length, or the offset for the 32 KB halves."""
    return line(vendor(0x38, 0xA0, 0x05, bank, field >> 8, field & 0xFF), "out", length)


def a0_trigger(t, banks, h):
    return line(vendor(0x38, 0xA0, t, (banks + 0xE0) & 0xFF, 0x00, 0x80, h >> 8, h & 0xFF),
                "out", 128)


def write_buffer_block(bank, sixteen_k):
    return line([0x3B, 0x06, 0x00, bank, sixteen_k * 0x40, 0, 0, 0x40, 0, 0, 0, 0], "out", 16384)


def download_mode(m):
    return line([0x3B, 0x01, m] + [0] * 9)


def start_flash_write(upper):
    return line([0x3B, 0x07, 0x00, 0x10 if upper else 0, 0, 0, 0x10, 0, 0, 0, 0, 0])


def request_flash_sense(upper, acknowledge):
    return line([0x03, 0, 0, 0x10 if upper else 0, 0x12, 0x80 if acknowledge else 0] + [0] * 6,
                "in", 18)


def read_rom_lines(length):
    total = (length + 255) // 256 * 256
    chunk = 4096 if total >= 0x200000 else 256
    out = []
    for bank in range((total + 0xFFFF) // KB64):
        for address in range(0, min(total - bank * KB64, KB64), chunk):
            out.append(line(vendor(0x38, 0x11, address >> 8, address & 0xFF, 0, bank,
                                   chunk >> 8, chunk & 0xFF), "in", chunk))
    return out


# Sequence items: (trace line, how often). Polls repeat as long as the drive keeps them going.
def once(text):
    return (text, "1")


def some(text):
    return (text, "+")


def maybe(text):
    return (text, "*")


def match(pattern, lines):
    """None when `lines` follows `pattern` exactly, else a description of the first difference."""
    i = 0
    for n, (want, how) in enumerate(pattern):
        count = 0
        while i < len(lines) and lines[i] == want and (how != "1" or count == 0):
            i += 1
            count += 1
        if count == 0 and how != "*":
            got = lines[i] if i < len(lines) else "end of trace"
            return f"item {n}: wanted {want} ({how}), got {got} at trace line {i}"
    if i != len(lines):
        return f"{len(lines) - i} lines after the sequence, first {lines[i]}"
    return None


# ---- the families -----------------------------------------------------------------------------

@dataclass
class Family:
    name: str
    emulated: str                 # the emulator's family
    atapi: int | None             # AtapiFlashType; None for the Philips form
    size: int                     # image length
    stride: int = KB64 // 2       # KFS3 MaxBankSize (65536 selects per-bank lengths for A0)
    bank_sizes: list = field(default_factory=list)  # per-bank lengths; empty: whole slots
    reserved: tuple = ()
    keeps_checksum: bool = False
    loads: tuple = ("file",)
    fault: dict = field(default_factory=dict)
    fault_text: str = ""
    fault_lines: int = 0          # list lines the procedure prints before it gives up
    fault_status: int = 4         # 4: the drive took a write before the fault; 3: none
    harmless: dict = field(default_factory=dict)  # a fault the procedure rides over
    seed: int = 1


FAMILIES = [
    # Two whole banks: each sends 65534 bytes, trigger count E2h; read-back verification.
    Family("a0 type 1", "a0", 1, 2 * KB64, seed=11,
           fault={"command": "5a:a0", "nth": 2}, fault_text="Write Buffer Fail !"),
    # Per-bank lengths, one odd bank of 40001 bytes: 40002 bytes go out (9C 42); the rest of the
    # slot is a reserved block, so read-back does not compare what the drive kept there.
    Family("a0 type 3", "a0", 3, KB64, stride=KB64, bank_sizes=[40001],
           reserved=((40002, KB64 - 40002),), seed=12,
           fault={"never_ready": True}, fault_text="Wait Drive Ready TimeOut !\n"),
    # 31 whole banks and half a bank: 32 bank writes, so the trigger's count byte wraps to 00h;
    # check-sum verification.
    Family("a0 type 5", "a0", 5, 31 * KB64 + KB64 // 2, keeps_checksum=True, seed=13,
           fault={"command": "5a:a0", "nth": 1}, fault_text="Write Buffer Fail !",
           fault_status=3),
    # A poll that meets a medium error rather than progress gives up at once.
    Family("a0-poll type 4", "a0-poll", 4, 2 * KB64, keeps_checksum=True, seed=14,
           fault={"command": "00", "sense": "03/11/00"}, fault_text="Trigger Fail !\n"),
    Family("a0-32k type 7", "a0-32k", 7, 2 * KB64, seed=15, loads=("file", "embedded"),
           fault={"never_ready": True}, fault_text="Flash progress TimeOut !\n"),
    # Five 16 KB blocks: the fifth shows bank 1 again from address 3FFFh.
    Family("ali type 2", "ali", 2, 5 * 16384, stride=16384, keeps_checksum=True, seed=16,
           loads=("file", "zip"), fault={"never_ready": True},
           fault_text="Wait Drive Ready TimeOut !\n", fault_lines=5),
    # 2 MB: the upper megabyte first, then the lower one; check-sum hand-over afterwards. The
    # reserved block makes the expected sum differ from the header sum.
    Family("mtk5 type 6", "mtk5", 6, 32 * KB64, stride=KB64, reserved=((0x1F0000, 0x100),),
           keeps_checksum=True, seed=17,
           fault={"stay_boot": 3}, fault_text="Flash Error!"),
    Family("mtk7 type 8", "mtk7", 8, 2 * KB64, seed=18,
           fault={"never_ready": True}, fault_text="Wait Drive Ready TimeOut !\n"),
    # A type without a procedure of its own goes to the WRITE BUFFER procedure.
    Family("mtk7 type 9", "mtk7", 9, 2 * KB64, seed=19),
    # Three blocks of 16 KB for a file of 49152 bytes; a bare Philips file only loads from a zip.
    # The drive may lose the last block's status as it restarts into programming: not an error.
    Family("philips form", "philips", None, 3 * 16384 - 40, loads=("zip", "embedded"), seed=20,
           fault={"command": "fa", "nth": 2, "sense": "03/0c/00"},
           fault_text="Firmware update failure (03:0C:00)",
           harmless={"command": "fa", "nth": 3, "sense": "06/29/00", "carried_out": True}),
]

FLASH_SIZE = 0x200000


def old_flash_ranges(f):
    """Image ranges a procedure never sends although its drive programs them: the image must hold
    the drive's old bytes there. For the A0 bank writes without per-bank lengths that is the last
    two bytes of every whole bank."""
    if f.atapi in (1, 3, 4, 5) and f.stride != KB64:
        return [(b * KB64 + 65534, 2) for b in range(f.size // KB64)]
    return []


def build(f):
    """The decoded image and the firmware file for family `f`."""
    image = noise(f.size, f.seed)
    put_inquiry(image, 0x1000, MODEL, "1.10")
    if f.atapi == 7:  # version and date code come from the second block
        put_inquiry(image, 0x2000, MODEL, "1.10")
    old = flash_content(f.seed, f.size)
    for at, n in old_flash_ranges(f):
        image[at:at + n] = old[at:at + n]
    image = decoded_image(image, f.stride, f.bank_sizes)
    assert len(inquiry_blocks(image)) == (2 if f.atapi == 7 else 1), f.name
    if f.atapi is None:
        return image, encode_philips(image, byte_sum(image), 0xA55A)
    return image, encode_kfs3(image, f.stride, f.atapi, f.bank_sizes, f.reserved)


def procedure(f, image):
    """The commands of the family's flash procedure, and the list lines it prints."""
    opening = ["WARNING !!!", "Please wait for at least one minute!", "Flashing is processing..."]
    n = len(image)
    h = byte_sum(image[:-8] if f.atapi == 6 else image)
    if f.atapi is None:
        blocks = (n + 40) // 16384
        p, q = h, 0xA55A
        seq = [some(TUR)]
        for i in range(blocks):
            seq.append(once(line([0xFA, p & 0xFF, p >> 8, q & 0xFF, q >> 8, i, 0x01,
                                  p & 0xFF, p >> 8, q & 0xFF, q >> 8, blocks], "out", 16384)))
        return seq + [some(TUR)], []
    if f.atapi in (1, 3, 4, 5, 7):
        seq = [once(READ_A3)]
        banks = (n + 0xFFFF) // KB64
        if f.atapi == 7:
            for b in range(banks):
                seq += [once(a0_write(b, 0x0000, 32768)), once(a0_write(b, 0x8000, 32768))]
        elif f.stride == KB64:
            banks = len(f.bank_sizes)
            for b, size in enumerate(f.bank_sizes):
                seq.append(once(a0_write(b, size + size % 2, size + size % 2)))
        else:
            for b in range(banks):
                r = min(n - b * KB64, 0xFFFE)
                seq.append(once(a0_write(b, r + r % 2, r + r % 2)))
        seq += [once(a0_trigger(5 if f.atapi == 4 else 4, banks, h)), some(TUR)]
        return seq, opening
    if f.atapi == 2:
        w = byte_sum(image)
        count = n // 16384
        seq, lines, bar, bank = [], list(opening), 0, 0
        for j in range(count):
            block = image[j * 16384:(j + 1) * 16384]
            s = byte_sum(block)
            seq.append(once(line([0xFD, 0x07, 0x4B, 0x45, 0x4D, 0x4F, s >> 8, s & 0xFF, w >> 8,
                                  w & 0xFF, j + 1, count & 0xFF], "out", 16384)))
            if bar == 65536:
                bar, bank = 16384, bank + 1
            else:
                bar += 16384
            lines.append(f"Flash Bank: {bank} Address: {bar - 1:04X}h")
        return seq + [some(TUR)], lines
    if f.atapi == 6:
        banks = n // KB64
        upper = banks > 16

        def load(bank_range):
            return ([once(download_mode(1))]
                    + [once(write_buffer_block(k, g)) for k in bank_range for g in range(4)]
                    + [once(download_mode(0))])
        seq = load(range(16, 32) if upper else range(banks))
        seq += [once(start_flash_write(upper)), some(request_flash_sense(upper, False))]
        if upper:
            # The ready wait follows only when the drive's last answer carried its bank counter.
            seq += [maybe(TUR)] + load(range(16)) + [once(start_flash_write(False)),
                                                     some(request_flash_sense(True, False)),
                                                     some(request_flash_sense(True, True))]
        else:
            seq.append(once(request_flash_sense(False, True)))
        seq += [some(TUR), once(INQUIRY), some(TUR), once(FEATURE)]
        if f.keeps_checksum:
            seq += [some(TUR), once(set_sum(h, fix_data_checksum(image, 6, f.reserved))),
                    some(TUR), once(GET_SUM)]
        return seq, ["WARNING !!!", "Please wait for the accomplishment!",
                     "Flashing is processing..."]
    # WRITE BUFFER procedure: the upper bank first, then the lower one.
    seq = []
    for e in (1, 0):
        seq += [once(write_buffer_block(e, g)) for g in range(4)]
        seq.append(once(line([0x3B, 0x07, 0x00, e] + [0] * 8)))
    return seq + [some(TUR)], []


def expected_update(f, image, updater):
    """The trace from the first medium lock to the end, and the list lines from the first line
    of the update on."""
    seq, flash_lines = procedure(f, image)
    pattern = [once(LOCK)] + seq + [once(UNLOCK)]
    tray_lines = ["Updating will not be executed until the tray is closed",
                  " without any media inside !"]
    if f.atapi is None:
        # No tray check; the flash is read back over the blocks sent.
        lines = ["Please wait for at least one minute!", "Flashing finished !", "Read ROM Data",
                 "Checksum verifying", "Verification finished"]
        pattern += ([once(LOCK)] + [once(t) for t in read_rom_lines((len(image) + 40) // 16384
                                                                    * 16384)] + [once(UNLOCK)])
    else:
        lines = tray_lines + ["Updating"] + flash_lines + ["Flashing finished !"]
        lines += ["Verifying will not be executed until the tray is closed",
                  " without any media inside !"]
        pattern += [once(t) for t in TRAY_CHECK] + [once(LOCK), once(FEATURE)]
        if f.keeps_checksum:
            pattern.append(once(GET_SUM))
            lines += ["Getting CheckSum from drive !", "Verification finished"]
        else:
            pattern += [once(t) for t in read_rom_lines(len(image))]
            lines += ["Read ROM Data", "Checksum verifying", "Verification finished"]
        pattern.append(once(UNLOCK))
    lines += ["All Completed!", "Restart the machine to complete the update."]
    # Model name and version again; the date code only in the flash utility role.
    pattern += [once(INQUIRY)] * (2 if updater else 3)
    return pattern, lines


# ---- running kfsflash -------------------------------------------------------------------------

class Runner(Workspace):
    def __init__(self, bin_dir, work):
        super().__init__(work)
        bin_dir = os.path.abspath(bin_dir)
        self.kfsflash = os.path.join(bin_dir, "tools", "kfsflash")
        self.kfsmerge = os.path.join(bin_dir, "tools", "kfsmerge")

    def run(self, f, faults, *args, terminal=False):
        """Runs kfsflash on one drive of family `f`; with `terminal` its standard error is a
        pseudo-terminal (the progress bar is drawn there) and what it shows is kept in
        self.screen."""
        drive = {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": "1.00",
                 "hardware_id": "K1", "date_code": "061001", "family": f.emulated,
                 "flash_size": FLASH_SIZE, "keeps_checksum": f.keeps_checksum, "seed": f.seed,
                 "faults": faults}
        desc = self.write("drives.json", json.dumps({"drives": [drive]}).encode())
        trace = self.path("trace.txt")
        if os.path.exists(trace):
            os.remove(trace)
        # The traces here are the update's own: the backup before it is tested on its own.
        command = [self.kfsflash, "--emulate", desc, "--trace", trace, "--yes", "--no-backup",
                   *args]
        if f.atapi is None:  # a Philips-form file names no drive: written only with --force
            command.append("--force")
        if terminal:
            master, slave = pty.openpty()
            shown = []
            reader = threading.Thread(target=drain, args=(master, shown))
            reader.start()
            p = subprocess.run(command, stdout=subprocess.PIPE, stderr=slave, text=True,
                               cwd=self.work, timeout=120)
            os.close(slave)
            reader.join()
            os.close(master)
            self.screen = b"".join(shown).decode("latin-1")
        else:
            p = subprocess.run(command, capture_output=True, text=True, cwd=self.work,
                               timeout=120)
        with open(trace) as t:
            raw = t.read().splitlines()
        # A failed command's line carries its outcome after the three fields (" sense 05/24/00");
        # the sequences here are of commands, so they compare the three fields.
        self.outcomes = [line for line in raw if len(line.split()) > 3]
        lines = [" ".join(line.split()[:3]) for line in raw]
        # After the window's lines kfsflash prints the identity the drive now reports, read
        # with four commands of its own (model, version, vendor page, date code).
        reported = [line for line in p.stdout.splitlines(keepends=True)
                    if line.startswith("The drive now reports: ")]
        if reported:
            p.stdout = p.stdout.replace(reported[0], "")
            lines = lines[:-4]
        return p, lines

    def check(self, name, condition, detail=""):
        if not condition:
            self.failures += 1
            print(f"FAIL {name}: {detail}")
        return condition

    def source(self, f, how, firmware):
        """The kfsflash arguments that bring `firmware` in: a file, a zip or an updater copy."""
        if how == "file":
            return ["--load", self.write("fw.kfs", firmware), "--verify"]
        if how == "zip":
            with zipfile.ZipFile(self.path("fw.zip"), "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("firmware.bin", firmware)
            return ["--load", self.path("fw.zip"), "--verify"]
        slot = "--cvt" if f.atapi is None else "--kfs1"
        merged = self.path("updater")
        subprocess.run([self.kfsmerge, self.kfsflash, "-o", merged, slot,
                        self.write("fw.bin", firmware)], check=True, capture_output=True)
        return ["--embedded", merged]


def drain(fd, into):
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the terminal's other side is closed
            return
        if not chunk:
            return
        into.append(chunk)


def text_of(lines):
    return "".join(f"{line}\n" for line in lines)


def test_update(r, f, image, firmware, how, faults=()):
    name = f"{f.name} from {how}" + "".join(f" with {json.dumps(x)}" for x in faults)
    p, trace = r.run(f, list(faults), *r.source(f, how, firmware))
    if not r.check(f"{name}: exit", p.returncode == 0, f"{p.returncode} {p.stderr}"):
        return
    pattern, lines = expected_update(f, image, how == "embedded")
    r.check(f"{name}: list lines", p.stdout.endswith(text_of(lines)), p.stdout)
    start = trace.index(LOCK) if LOCK in trace else len(trace)
    r.check(f"{name}: trace", (problem := match(pattern, trace[start:])) is None, problem)
    if f.atapi is not None:
        r.check(f"{name}: tray check before the lock", trace[start - 3:start] == TRAY_CHECK,
                trace[start - 3:start])


def test_fault(r, f, image, firmware):
    name = f"{f.name} with {json.dumps(f.fault)}"
    source = r.source(f, "zip" if f.atapi is None else "file", firmware)
    fault = dict(f.fault)
    if fault.get("never_ready") or fault.get("command") == "00":
        # A drive not ready before the write is stopped before it with nothing written: the
        # procedure's own wait meets the fault only from the medium lock on.
        _, clean = r.run(f, [], *source)
        fault["from"] = clean.index(LOCK) + 2
    p, trace = r.run(f, [fault], *source)
    r.check(f"{name}: exit", p.returncode == f.fault_status, p.returncode)
    r.check(f"{name}: message", f"Error: {f.fault_text}\n" in p.stderr, p.stderr)
    if "command" in f.fault:
        sense = f.fault.get("sense", "05/24/00")  # the emulator's default
        failed = [line for line in r.outcomes if line.startswith(f.fault["command"][:2]) and
                  line.endswith(" sense " + sense.lower())]
        r.check(f"{name}: the trace gives the refused command its sense", failed, r.outcomes)
        r.check(f"{name}: the cause under the message", "\n  cause: " + sense.upper() + " "
                in p.stderr, p.stderr)
    r.check(f"{name}: nothing after the failed procedure",
            "Flashing finished !" not in p.stdout and trace[-1] == UNLOCK
            and trace.count(LOCK) == 1, trace[-3:])
    _, flash_lines = procedure(f, image)
    if f.atapi == 6:  # every attempt opens with the same lines; the retries say which
        flash_lines = (flash_lines + ["Last flash fail !", "retrying flash 1 time(s)\n"]
                       + flash_lines + ["Last flash fail !", "retrying flash 2 time(s)\n"]
                       + flash_lines)
    elif f.atapi == 2:
        flash_lines = flash_lines[:3 + f.fault_lines]
    elif flash_lines:
        flash_lines = flash_lines[:3]
    first = (["Please wait for at least one minute!"] if f.atapi is None
             else ["Updating"])
    r.check(f"{name}: list lines", p.stdout.endswith(text_of(first + flash_lines)), p.stdout)


def test_oversized_bank(r):
    """A bank of 65536 bytes under per-bank lengths fits neither the length bytes nor the
    transfer length: the update stops with the write failure before anything goes out, so
    nothing was written."""
    f = Family("a0 type 3, whole 64 KB bank", "a0", 3, KB64, stride=KB64, seed=21)
    image, firmware = build(f)
    p, trace = r.run(f, [], *r.source(f, "file", firmware))
    r.check(f"{f.name}: exit (nothing written)", p.returncode == 3, p.returncode)
    r.check(f"{f.name}: message", "Error: Write Buffer Fail !\n" in p.stderr, p.stderr)
    r.check(f"{f.name}: nothing sent", LOCK in trace and trace[trace.index(LOCK):] ==
            [LOCK, UNLOCK], trace[-4:])


def test_progress_on_terminal(r, f, image, firmware):
    """The bar on a terminal between rolling list lines: the lines stay whole on standard
    output, and the bar is drawn and taken away before each line."""
    p, _ = r.run(f, [], *r.source(f, "file", firmware), terminal=True)
    name = f"{f.name} on a terminal"
    r.check(f"{name}: exit", p.returncode == 0, p.returncode)
    _, lines = expected_update(f, image, False)
    r.check(f"{name}: list lines", p.stdout.endswith(text_of(lines)), p.stdout)
    r.check(f"{name}: bar", "] 100%" in r.screen and "\r" + " " * 50 + "\r" in r.screen,
            repr(r.screen[-200:]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        r = Runner(args.bin_dir, work)
        test_oversized_bank(r)
        for f in FAMILIES:
            image, firmware = build(f)
            for how in f.loads:
                test_update(r, f, image, firmware, how)
            if f.harmless:
                test_update(r, f, image, firmware, f.loads[0], [f.harmless])
            if f.fault:
                test_fault(r, f, image, firmware)
            if f.atapi == 2:
                test_progress_on_terminal(r, f, image, firmware)
        if r.failures:
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
