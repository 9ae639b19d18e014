#!/usr/bin/env python3
"""kfstool default-params and kfstool params against values written out here independently:
the built-in default parameter text line by line, and the settings table (fallback, built-in and
shipped values of every key) plus a hostile text worked out by hand."""
import argparse
import json
import os
import subprocess
import sys
import tempfile

BUILT_IN_LINES = [
    "[Main]",
    "Updater=0",
    "ShowCaption=1",
    "ProgramName=Kemo Flash KFS3 Utility",
    "ShowVersion=1",
    "ShowDate=1",
    "[Argument default value]",
    "s=0", "i=0", "n=-1", "k=0", "u=0", "a=1", "y=0", "d=0", "g=0", "r=0",
    "[Argument enabled]",
    "s=1", "c=1", "b=1", "h=1", "v=1", "e=1", "i=1", "n=1", "k=1", "u=1", "a=1",
    "p=1", "m=1", "o=1", "f=1", "t=1", "y=1", "d=1", "g=1", "r=1",
    "Disable98AutoInsertNotification=1",
    "[Other settings]",
    "CheckSum=0",
    "HardwareID=0",
    "ModelName=0",
    "AvailableModel=0",
    "Verify=1",
    "NoDisc=1",
    "ImmediateAtapi=1",
    "WriteNewCode=1",
    "ErasePadRandom=0",
    "ErasePadChar=0",
    "Timer=1",
    "[AvailableModelNames]",
    "KEMO    VRD-E838P2      ",
    "KEMO    VRC-1430        ",
    "[Title]",
    "       -- Compatible with Kemo KFS3 Utility v1.13. 2005/11/29",
    "       -- Compatible with Kemo Merge Utility v1.07. 2005/10/06",
]

PROGRAM_NAME = "Kemo Flash KFS3 Utility"
D98 = "Disable98AutoInsertNotification"

# (section, key, fallback when the key is not found, built-in text, shipped text); None: absent.
KEYS = [
    ("Main", "Updater", 0, 0, 1),
    ("Main", "ShowCaption", 1, 1, 1),
    ("Main", "ProgramName", PROGRAM_NAME, PROGRAM_NAME, PROGRAM_NAME),
    ("Main", "ShowVersion", 1, 1, 1),
    ("Main", "ShowDate", 1, 1, 1),
    ("Argument default value", "s", 0, 0, 0),
    ("Argument default value", "k", 0, 0, None),
    ("Argument default value", "u", 0, 0, None),
    ("Argument default value", "i", 0, 0, None),
    ("Argument default value", "n", -1, -1, None),
    ("Argument default value", "a", 1, 1, None),
    ("Argument default value", "y", 0, 0, 0),
    ("Argument default value", D98, 0, None, None),
    ("Argument default value", "d", 1, 0, None),
    ("Argument default value", "g", 0, 0, None),
    ("Argument default value", "r", 0, 0, None),
    ("Argument enabled", "s", 1, 1, 1),
    ("Argument enabled", "c", 1, 1, 1),
    ("Argument enabled", "b", 1, 1, 1),
    ("Argument enabled", "h", 1, 1, 1),
    ("Argument enabled", "v", 1, 1, 1),
    ("Argument enabled", "e", 1, 1, None),
    ("Argument enabled", "k", 1, 1, None),
    ("Argument enabled", "u", 1, 1, None),
    ("Argument enabled", "i", 1, 1, None),
    ("Argument enabled", "n", 1, 1, None),
    ("Argument enabled", "a", 1, 1, None),
    ("Argument enabled", "p", 1, 1, 1),
    ("Argument enabled", "m", 1, 1, 1),
    ("Argument enabled", "o", 1, 1, 1),
    ("Argument enabled", "f", 1, 1, 1),
    ("Argument enabled", "t", 1, 1, 1),
    ("Argument enabled", "y", 1, 1, 1),
    ("Argument enabled", D98, 1, 1, None),
    ("Argument enabled", "d", 1, 1, None),
    ("Argument enabled", "g", 0, 1, None),
    ("Argument enabled", "r", 1, 1, None),
    ("Other settings", "CheckSum", 1, 0, 0),
    ("Other settings", "HardwareID", 1, 0, 0),
    ("Other settings", "ModelName", 0, 0, 1),
    ("Other settings", "AvailableModel", 0, 0, 0),
    ("Other settings", "Verify", 1, 1, 1),
    ("Other settings", "NoDisc", 1, 1, 1),
    ("Other settings", "ImmediateAtapi", 0, 1, 1),
    ("Other settings", "WriteNewCode", 1, 1, 1),
    ("Other settings", "ErasePadRandom", 0, 0, 0),
    ("Other settings", "ErasePadChar", 0, 0, 0),
    ("Other settings", "Timer", 1, 1, 1),
]
SECTIONS = ["Main", "Argument default value", "Argument enabled", "Other settings"]
LISTS = ["AvailableModelNames", "Title", "Flash Help", "Updater Help"]

SWITCH_LINES = [
    "  /s                    Silent mode, no message displayed.",
    "  /c                    Check drive data.",
    "  /b[1~3]               Check inside KFS Buffer 1~3 whose default is 1.",
    "  /h /H /?              Show this help.",
    "  /v                    Show version information.",
    "  /p[Parameter File]    Output the default parameter file.",
    "  /m[Parameter File]    Output the data merged in Parameter buffer.",
    "  /o[KFS file] [1~3]    Output the data merged from inside KFS Buffer 1~3 whose default is 1.",
    "  /f[1~3]               Get fix data check sum from inside KFS Buffer 1~3 whose default is 1.",
    "  /t[Test File]         Get test parameter file.",
    "  /y                    Ignore asking questions, for autotest.",
]


def settings(column, overrides=None):
    """The expected JSON object for one column of KEYS (None falls back to the first column)."""
    result = {section: {} for section in SECTIONS}
    for section, key, fallback, built_in, shipped in KEYS:
        value = (fallback, built_in, shipped)[column]
        result[section][key] = fallback if value is None else value
    for (section, key), value in (overrides or {}).items():
        result[section][key] = value
    for name in LISTS:
        result[name] = []
    return result


def expected_built_in():
    # The built-in text has no Disable98AutoInsertNotification under [Argument default value];
    # the key search runs on into [Argument enabled] and reads the 1 there.
    result = settings(1, {("Argument default value", D98): 1})
    result["AvailableModelNames"] = BUILT_IN_LINES[52:54]
    result["Title"] = BUILT_IN_LINES[55:57]
    return result


def expected_shipped():
    result = settings(2)
    result["AvailableModelNames"] = ["KEMO    VRZ-3372BL", "KEMO    VRZ-3372BLT",
                                     "KEMO    VRZ-3394BL", "KEMO    VRZ-3394BLT"]
    result["Title"] = ["", ""]
    result["Flash Help"] = [
        "", "trelvo.exe [KFS3 File]", "trelvo.exe /c", "",
        "The order don't care. The argument without / is regarded as KFS3 file name.",
        "Only one file is allowed.", "",
        "Example:  trelvo.exe file.kfs", "          trelvo.exe /c", "",
    ] + SWITCH_LINES + ["  [KFS3 File]           Requisite parameter, the KFS3 file name."]
    result["Updater Help"] = [
        "", "Update.exe", "Update.exe /c", "", "The order don't care.", "",
        "Example:  Update.exe", "          Update.exe /c", "",
    ] + SWITCH_LINES
    return result


# Every line exercises a quirk of the reader; the expected value is noted line by line.
HOSTILE_LINES = [
    b"Updater=1",                      # before any header: never read
    b"[Main] settings",                # header of [Main]
    b"Updater = 1",                    # blank skipped, "= 1" has no digits: 0
    b"ShowCaption=yes",                # 0
    b"ProgramName=  Odd Name \xe9  ",  # kept as is, trailing blanks and 8-bit byte included
    b"ProgramName=Second",             # duplicate: ignored
    b"ShowVersion=-3",                 # non-zero: 1
    b"ShowDate:0",                     # any separator: 0
    b"[Argument default value]",
    b"silent=1",                       # s reads "lent=1": 0
    b"n=-12abc",                       # -12
    b"a=99999999999",                  # saturates
    b"k=1\n u=1",                      # lone LF: one line, k 1, u not found
    b"[Argument enabled]",
    b"silent=1",                       # enabled s: 0
    b"g=1",                            # enabled g 1, and default g 1 (search runs on)
    b"e",                              # empty value: 0
    b"b=",                             # empty value: 0
    b"[Other settings]",
    b"CheckSum=0\nHardwareID=0",       # CheckSum 0, HardwareID not found: 1
    b"Verify = 1",                     # 0
    b"ErasePadChar=300",               # low 8 bits: 44
    b"Timer=\t 0",                     # white space skipped: 0
    b"ImmediateAtapi=+1",              # 1
    b"[Main]",
    b"ModelName=1",                    # found for [Other settings] past the next header
    b"[AvailableModelNames] trailing",
    b"KEMO    VRZ-3372BL  ",
    b"",
    b"[Title",                         # any line starting with "[" ends a list
    b"[Title]",
    b"T1",
    b"",
    b"",
]
# Past the first zero byte nothing is read.
HOSTILE_TEXT = b"\r\n".join(HOSTILE_LINES) + b"\r\n\x00[Flash Help]\r\nignored\r\n"


def expected_hostile():
    result = settings(0, {
        ("Main", "Updater"): 0,
        ("Main", "ShowCaption"): 0,
        ("Main", "ProgramName"): "  Odd Name \u00e9  ",
        ("Main", "ShowDate"): 0,
        ("Argument default value", "n"): -12,
        ("Argument default value", "a"): 2147483647,
        ("Argument default value", "k"): 1,
        ("Argument default value", "g"): 1,
        ("Argument enabled", "s"): 0,
        ("Argument enabled", "g"): 1,
        ("Argument enabled", "e"): 0,
        ("Argument enabled", "b"): 0,
        ("Other settings", "CheckSum"): 0,
        ("Other settings", "ModelName"): 1,
        ("Other settings", "Verify"): 0,
        ("Other settings", "ErasePadChar"): 44,
        ("Other settings", "Timer"): 0,
        ("Other settings", "ImmediateAtapi"): 1,
    })
    result["AvailableModelNames"] = ["KEMO    VRZ-3372BL  ", ""]
    result["Title"] = ["T1", "", ""]
    return result


failures = []


def check(name, condition, detail=""):
    if not condition:
        failures.append(f"{name}: {detail}")


def run(tool, *args):
    return subprocess.run([tool, *args], capture_output=True, timeout=60)


def params_json(tool, *args):
    result = run(tool, "params", "--json", *args)
    if result.returncode != 0:
        raise AssertionError(f"params {args} exited {result.returncode}: {result.stderr!r}")
    return json.loads(result.stdout)


def compare(name, actual, expected):
    check(f"{name}: key order", list(actual) == list(expected), f"{list(actual)}")
    for part in expected:
        if actual.get(part) != expected[part]:
            if isinstance(expected[part], dict):
                for key in expected[part]:
                    got = actual.get(part, {}).get(key)
                    check(f"{name}: [{part}] {key}", got == expected[part][key],
                          f"got {got!r}, want {expected[part][key]!r}")
                check(f"{name}: [{part}] keys", list(actual.get(part, {})) == list(expected[part]),
                      f"{list(actual.get(part, {}))}")
            else:
                check(f"{name}: [{part}]", False, f"got {actual.get(part)!r}, want {expected[part]!r}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    tool = os.path.join(args.bin_dir, "tools", "kfstool")

    with tempfile.TemporaryDirectory() as tmp:
        # default-params: the 57 lines, each with CR LF, replacing an existing file.
        out = os.path.join(tmp, "default.ini")
        with open(out, "wb") as f:
            f.write(b"x" * 5000)
        result = run(tool, "default-params", out)
        check("default-params exit", result.returncode == 0, result.stderr)
        with open(out, "rb") as f:
            written = f.read()
        want = b"".join(line.encode("latin-1") + b"\r\n" for line in BUILT_IN_LINES)
        check("default-params bytes", written == want, f"{len(written)} bytes")
        check("default-params size", len(want) == 713 and len(BUILT_IN_LINES) == 57)
        result = run(tool, "default-params", os.path.join(tmp, "no-such-dir", "x.ini"))
        check("default-params to a missing folder fails", result.returncode != 0)

        # params: no file and an empty file mean the built-in text.
        empty = os.path.join(tmp, "empty")
        open(empty, "wb").close()
        zero_first = os.path.join(tmp, "zero-first")
        with open(zero_first, "wb") as f:
            f.write(b"\x00[Main]\r\nUpdater=1\r\n")
        for name, extra in (("no file", ()), ("empty file", (empty,)),
                            ("zero first byte", (zero_first,))):
            compare(f"built-in ({name})", params_json(tool, *extra), expected_built_in())

        shipped = os.path.join(args.source_dir, "data", "shipped-parameters.txt")
        with open(shipped, "rb") as f:
            shipped_bytes = f.read()
        check("shipped text: 85 lines, CR LF, no final line end",
              shipped_bytes.count(b"\r\n") == 84 and b"\n" not in shipped_bytes.replace(b"\r\n", b"")
              and not shipped_bytes.endswith(b"\r\n"))
        compare("shipped", params_json(tool, shipped), expected_shipped())

        hostile = os.path.join(tmp, "hostile.txt")
        with open(hostile, "wb") as f:
            f.write(HOSTILE_TEXT)
        compare("hostile", params_json(tool, hostile), expected_hostile())

        # A file longer than the buffer without a zero byte: read up to the capacity only.
        head = b"[Main]\r\nProgramName="
        big = os.path.join(tmp, "big.txt")
        with open(big, "wb") as f:
            f.write(head + b"A" * (0x100000 - len(head)) + b"BEYOND")
        name = params_json(tool, big)["Main"]["ProgramName"]
        check("capacity", name == "A" * (0x100000 - len(head)), f"{len(name)} characters")

        listing = run(tool, "params", shipped)
        check("listing exit", listing.returncode == 0, listing.stderr)
        check("listing content", b"[Main]\nUpdater=1\n" in listing.stdout
              and b"ProgramName=Kemo Flash KFS3 Utility\n" in listing.stdout, listing.stdout[:200])
        check("missing file fails", run(tool, "params", os.path.join(tmp, "nope")).returncode != 0)

    for failure in failures:
        print("FAIL", failure)
    print("test_params:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
