#!/usr/bin/env python3
"""Writes a drive refuses, writes the system never sends, and the Philips form, through kfsflash
against emulated drives: one table of whole runs, each row with its exit status, the texts it
must print, whether anything the drive took could have changed its flash, and the reason the
row exists. A refused write must end the update with its own failure text and the drive's
sense as its cause; nothing taken by the drive means nothing written (status 3)."""
import argparse
import os
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import byte_sum, encode_kfs3, encode_philips, noise, put_inquiry  # noqa: E402
from test_kfsflash_safety import Runner  # noqa: E402

MODEL = "KEMO    VRZ-3372BL"
OK, NOTHING_WRITTEN, WRITE_FAILED, NOT_CONFIRMED = 0, 3, 4, 5
KB16, KB64 = 0x4000, 0x10000
READ_ROM = "5a00384b4511"


def drive(family, **kw):
    d = {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": "1.00", "hardware_id": "K1",
         "date_code": "061001", "family": family}
    d.update(kw)
    return d


def image(size, seed):
    data = noise(size, seed)
    put_inquiry(data, 0x1000, MODEL, "1.10")
    return data


def firmware_files(r):
    """The firmware of each family, by the name the rows use."""
    files = {}
    for name, atapi, size, stride in (("ali", 2, 5 * KB16, KB16), ("a0-poll", 4, 2 * KB64, KB64 // 2),
                                      ("a0-32k", 7, 2 * KB64, KB64 // 2),
                                      ("mtk7", 8, 2 * KB64, KB64 // 2),
                                      ("mtk5", 6, 16 * KB64, KB64)):
        data = image(size, 30 + atapi)
        if atapi == 7:  # version and date code come from the second INQUIRY block
            put_inquiry(data, 0x2000, MODEL, "1.10")
        files[name] = r.write(f"{name}.kfs", encode_kfs3(data, stride, atapi))
    # A bare Philips file loads only from a zip archive.
    philips = image(3 * KB16 - 40, 40)
    with zipfile.ZipFile(r.path("philips.zip"), "w") as z:
        z.writestr("firmware.bin", encode_philips(philips, byte_sum(philips), 0xA55A))
    files["philips"] = r.path("philips.zip")
    return files


def fault(command, nth=0, sense="05/24/00", **kw):
    f = {"command": command, "nth": nth, "sense": sense}
    f.update(kw)
    return f


# Whether a write command (data or trigger) could have reached the flash, from the trace's
# outcomes: a command with an outcome failed; an errno means the system never sent it.
WRITES = ("3b06", "3b07", "5a00384b45a0", "fd", "fa")


def writes(trace):
    return [line for line in trace if line.startswith(WRITES)]


def rows(f):
    """name, drive, firmware, extra arguments, status, texts, a write taken, why (on the old
    binary)."""
    lost = "\n  cause: "
    return [
        # 5: refused writes that read as written.
        ("ali: the drive refuses block 3", drive("ali", faults=[fault("fd", 3, "05/26/00")]),
         f["ali"], [], WRITE_FAILED,
         ["Error: Write Buffer Fail !\n  failed command: FD ALI BLOCK WRITE\n"
          "  cause: 05/26/00 ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST",
          "the write failed: the drive may need recovery"], True,
         "the blocks after it were sent; status 5 with TEST UNIT READY's no-medium as cause"),
        ("a0-32k: the drive refuses the first half of bank 0",
         drive("a0-32k", faults=[fault("5a:a0", 1)]), f["a0-32k"], [], NOTHING_WRITTEN,
         ["Error: Write Buffer Fail !\n  failed command: 5A A0 BANK WRITE" + lost + "05/24/00",
          "nothing was written: the drive took none of the write commands"], False,
         "only the second half of a bank was examined"),
        ("a0-poll: the drive refuses the trigger and reports no disc",
         drive("a0-poll", faults=[fault("5a:a0", 3, "02/3a/01")]), f["a0-poll"], [],
         WRITE_FAILED,
         ["Error: Trigger Fail !\n\n  failed command: 5A A0 PROGRAM TRIGGER" + lost +
          "02/3A/01"], True,
         "the poll's 02/3A/01 was taken for the end of programming: status 5"),
        ("mtk7: the drive refuses the save of bank 1",
         drive("mtk7", faults=[fault("3b", 5, "05/2c/00")]), f["mtk7"], [], WRITE_FAILED,
         ["Error: Write Buffer Fail !\n  failed command: 3B WRITE BUFFER (save bank to flash)"
          + lost + "05/2C/00"], True,
         "the save's result was not examined: status 5 after verification"),
        ("mtk5: the drive refuses every flash block",
         drive("mtk5", faults=[fault("3b", 0)]), f["mtk5"], [], NOTHING_WRITTEN,
         ["Error: Write Buffer Fail !\n  failed command: 3B WRITE BUFFER (flash block)",
          "nothing was written"], False,
         "a first block refused (nothing taken) ended with status 4"),
        # 9: a write the system refused to send.
        ("mtk5: the system will not send WRITE BUFFER (EPERM)",
         drive("mtk5", faults=[fault("3b", 0, errno=1)]), f["mtk5"], [], NOTHING_WRITTEN,
         ["cause: error 1: Operation not permitted",
          "advice: not permitted: the system sends this command only for root or a program "
          "with CAP_SYS_RAWIO", "nothing was written"], False,
         "the emulator had no system refusal; the write failed with status 4"),
        ("ali: the system will not send the blocks (EPERM)",
         drive("ali", faults=[fault("fd", 0, errno=1)]), f["ali"], [], NOTHING_WRITTEN,
         ["cause: error 1: Operation not permitted", "CAP_SYS_RAWIO", "nothing was written"],
         False, "the blocks were not examined: status 5"),
        # 4: the Philips form.
        ("philips: refused without --force", drive("philips"), f["philips"], [],
         NOTHING_WRITTEN,
         ["refusing to write: the firmware is a Philips-form file, which carries no identity"],
         False, "written to any drive of the family without --force"),
        ("philips: written and read back", drive("philips"), f["philips"], ["--force"], OK,
         ["All Completed!", "Read ROM Data", "Verification finished"], True,
         "never verified"),
        ("philips: a flash byte that does not take",
         drive("philips", faults=[{"flip_flash_byte": 0x1234}]), f["philips"], ["--force"],
         NOT_CONFIRMED,
         ["Error: Flash Verify Error!", "the firmware was written, but the update could not "
          "be confirmed"], True, "\"All Completed!\" and status 0"),
        ("philips: the drive does not let its flash be read back",
         drive("philips", faults=[fault("5a:11", 1)]), f["philips"], ["--force"],
         NOT_CONFIRMED, ["Error: ReadROM Error!", "could not be confirmed"], True,
         "status 0 without a verification"),
        ("philips: written to a drive of another family",
         drive("mtk5"), f["philips"], ["--force"], NOTHING_WRITTEN,
         ["Error: Firmware update failure (05:20:00)", "nothing was written"], False,
         "status 4, \"write the firmware again\""),
        ("philips: the drive loses the last block's status as it restarts",
         drive("philips", faults=[fault("fa", 3, "06/29/00", carried_out=True)]),
         f["philips"], ["--force"], OK, ["Verification finished"], True,
         "never verified; nor could the emulator lose a status"),
    ]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        r = Runner(args.bin_dir, work)
        files = firmware_files(r)
        for name, d, fw, extra, status, texts, taken, why in rows(files):
            p, trace = r.run([d], [fw, "--yes", "--no-backup", *extra])
            out = p.stdout + p.stderr
            r.check(f"{name}: exit status ({why})", p.returncode == status,
                    f"{p.returncode} != {status}\n{out}")
            for text in texts:
                r.check(f"{name}: prints {text!r} ({why})", text in out, out)
            sent = writes(trace)
            took = any(len(line.split()) == 3 for line in sent)
            r.check(f"{name}: a write taken ({why})", took == taken, sent[-3:])
            if status in (NOTHING_WRITTEN, WRITE_FAILED) and sent:
                refused = [i for i, line in enumerate(trace) if line.startswith(WRITES)
                           and len(line.split()) > 3]
                r.check(f"{name}: no write after the refused one ({why})", refused and
                        not any(line.startswith(WRITES) for line in trace[refused[-1] + 1:]),
                        trace[-4:])
            if "Read ROM Data" in texts:
                r.check(f"{name}: the flash is read back ({why})",
                        any(line.startswith(READ_ROM) for line in trace), trace[-4:])
        if r.failures:
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
