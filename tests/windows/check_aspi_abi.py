#!/usr/bin/env python3
"""The ASPI for Win32 binary interface, read from the built files rather than from our header
(which the DLL and the program share, so they would agree with each other even if both were
wrong):

- WNASPI32.DLL exports GetASPI32SupportInfo and SendASPI32Command under those undecorated names,
  and on i686 each returns with a plain "ret": cdecl, the caller pops the argument (a stdcall
  function would end in "ret $0x4");
- kfsflash.exe does not import WNASPI32.DLL at load time (Windows NT has none) and resolves the two
  functions by those names at run time.

  check_aspi_abi.py --objdump OBJDUMP --dll WNASPI32.DLL --program kfsflash.exe
"""
import argparse
import re
import subprocess
import sys

NAMES = ["GetASPI32SupportInfo", "SendASPI32Command"]


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def exports(tool, dll):
    """Export name -> RVA from the export tables objdump -p prints, the image base, the dump:
    "[   0] +base[   1] 1a80 Export RVA" rows of the address table, and "[   0] Name" rows of
    the name table, whose index is the row of the address table."""
    text = objdump(tool, "-p", dll)
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", text, re.M).group(1), 16)
    rva = {int(i): int(a, 16) for i, a in
           re.findall(r"^\s*\[\s*(\d+)\] \+base\[\s*\d+\] ([0-9a-fA-F]+) Export RVA", text, re.M)}
    names = {}
    table = text.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for i, name in re.findall(r"^\s*\[\s*(\d+)\] (\S+)$", table[1].split("\n\n", 1)[0],
                                  re.M):
            names[name] = rva.get(int(i))
    return base, names, text


def first_return(tool, dll, address):
    """The first return instruction of the function at the address."""
    text = objdump(tool, "-d", f"--start-address=0x{address:x}",
                   f"--stop-address=0x{address + 0x800:x}", dll)
    for line in text.splitlines():
        m = re.search(r"\t(ret[lq]?)\s*(\S*)", line)
        if m:
            return (m.group(1) + " " + m.group(2)).strip()
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    problems = []

    base, names, dump = exports(args.objdump, args.dll)
    i686 = "pei-i386" in dump
    print("exports:", ", ".join(sorted(names)))
    if sorted(names) != NAMES:
        problems.append(f"WNASPI32.DLL exports {sorted(names)}, expected exactly {NAMES}")
    for name in NAMES:
        if i686 and names.get(name) is not None:
            ret = first_return(args.objdump, args.dll, base + names[name])
            print(f"{name}: returns with '{ret}'")
            if ret not in ("ret", "retl"):
                problems.append(f"{name} returns with '{ret}': not cdecl (the caller pops)")

    program = objdump(args.objdump, "-p", args.program)
    imported = re.findall(r"DLL Name: (\S+)", program)
    print("program imports:", ", ".join(imported))
    if any(d.lower() == "wnaspi32.dll" for d in imported):
        problems.append("kfsflash.exe imports WNASPI32.DLL at load time")
    data = open(args.program, "rb").read()
    for name in NAMES:
        if name.encode() + b"\0" not in data:
            problems.append(f"kfsflash.exe does not resolve '{name}' by that name")
        if re.search(rb"_?" + name.encode() + rb"@\d", data):
            problems.append(f"kfsflash.exe names a decorated '{name}@N'")

    for p in problems:
        print("FAIL:", p)
    print("ASPI binary interface:", "FAIL" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
