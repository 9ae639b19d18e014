#!/usr/bin/env python3
"""kfstool info, unpack and pack against an independent Python model of the container formats.

The containers are built by the Python encoders and scrambler of tests/support/kfs_fixtures.py,
decoded here by a Python decoder of our own, and compared with `kfstool info --json` field by field and with
`kfstool unpack` byte by byte; containers that kfstool packs are decoded here as well. Refused
containers must give exit status 1 and one line on standard error."""
import argparse
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import (MAGIC, encode_kfs1, encode_kfs3_banks, encode_philips,  # noqa: E402
                          inquiry_blocks, kfs3_key, noise, put_inquiry, scramble)

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


# ---- the decoder, written from the format description ------------------------------------------

def check_sums(image, atapi, kernel, reserved):
    n = len(image)
    limit = max(n - 8, 0) if atapi == 6 else n
    total = sum(image[:limit]) & 0xFFFFFFFF
    fix = total
    for address, length in [kernel] + list(reserved):
        for a in range(address, min(address + length, limit)):
            fix -= image[a]
    return total, fix & 0xFFFF


def text(image, at, length):
    raw = image[at:at + length].split(b"\x00")[0]
    return raw.decode("latin-1")


def identity(image, atapi):
    blocks = inquiry_blocks(image)
    main = None
    if blocks:
        main = blocks[1] if len(blocks) > 1 and image[blocks[0] + 32:blocks[0] + 36] == b"BOOT" \
            else blocks[0]
    rev = (blocks[1] if len(blocks) > 1 else None) if atapi == 7 else main
    ident = {"hardware_id": "", "model_name": "", "version": "", "date_code": ""}
    if main is not None:
        ident["hardware_id"] = text(image, main + 38, 2)
        ident["model_name"] = text(image, main + 8, 24)
    if rev is not None:
        ident["version"] = text(image, rev + 32, 4)
        if rev >= 12 and image[rev - 12:rev - 10] == b"DC":
            ident["date_code"] = text(image, rev - 10, 6)
        else:
            ident["date_code"] = text(image, rev + 40, 6)
    return ident


def decode(container):
    """Returns (description, image) as `kfstool info --json` should report them."""
    if container[:7] == b"Philips":
        container = struct.pack(">I", len(container)) + container
    d = {"form": None, "image_length": 0, "header_checksum": 0, "trailer_word": 0,
         "ide_flash_type": 0, "atapi_flash_type": 0, "atapi_flash_kernel_type": 0,
         "max_bank_size": 0, "bank_sizes": [], "reserved_blocks": [],
         "kernel_block": {"address": 0, "length": 0}}
    if container[4:11] == b"Philips":
        (l,) = struct.unpack_from(">I", container, 0)
        image = container[40:l]
        d.update(form="Philips", image_length=len(image))
        d["header_checksum"], d["trailer_word"] = struct.unpack_from(">HH", container, l)
    elif container[24:25] == b"3":
        assert container[:17] == MAGIC
        (cs,) = struct.unpack_from("<H", container, 32)
        nbank, stride, nres, kaddr, klen = struct.unpack_from("<IIIII", container, 36)
        sizes = list(struct.unpack_from("<%dI" % nbank, container, 56))
        res = [struct.unpack_from("<II", container, 56 + 4 * nbank + 8 * r) for r in range(nres)]
        image = bytearray(nbank * stride)
        pos = 56 + 4 * nbank + 8 * nres
        key = kfs3_key(container[28:32])
        for j, size in enumerate(sizes):
            data = container[pos:pos + size]
            pos += size
            image[j * stride:j * stride + size] = scramble(data, key) if container[25] == 2 else data
        d.update(form="KFS3", image_length=len(image), header_checksum=cs,
                 ide_flash_type=container[26], atapi_flash_type=container[27],
                 atapi_flash_kernel_type=container[34], max_bank_size=stride, bank_sizes=sizes,
                 reserved_blocks=[{"address": a, "length": n} for a, n in res],
                 kernel_block={"address": kaddr, "length": klen})
    else:
        assert container[:17] == MAGIC and container[24:25] in (b" ", b"1", b"2")
        cs, nbank = struct.unpack_from("<HH", container, 32)
        sizes = list(struct.unpack_from("<%dH" % nbank, container, 36))
        image = bytearray(nbank * 0x10000)
        pos = 112 if nbank > 8 else 64
        for i, size in enumerate(sizes):
            data = container[pos:pos + size]
            pos += size
            if container[25] == 1 and size:
                data = scramble(data, (data[0] + 2) & 0xFF)
            image[i * 0x10000:i * 0x10000 + size] = data
        d.update(form="KFS1", image_length=len(image), header_checksum=cs, ide_flash_type=1,
                 atapi_flash_type=1, max_bank_size=0x10000, bank_sizes=sizes,
                 reserved_blocks=[{"address": 0x1FD00, "length": 0x300},
                                  {"address": 0x2F800, "length": 0x800}])
    image = bytes(image)
    kernel = (d["kernel_block"]["address"], d["kernel_block"]["length"])
    reserved = [(r["address"], r["length"]) for r in d["reserved_blocks"]]
    total, fix = check_sums(image, d["atapi_flash_type"], kernel, reserved)
    d.update(checksum=total & 0xFFFF, checksum_ok=(total & 0xFFFF) == d["header_checksum"],
             fix_data_checksum=fix, inquiry_blocks=inquiry_blocks(image))
    d.update(identity(image, d["atapi_flash_type"]))
    return d, image


# ---- sample images ---------------------------------------------------------------------------

def sample_image(n, seed, two_blocks=False):
    image = noise(n, seed)
    if two_blocks:
        put_inquiry(image, 0x100, "KEMO    BOOT LOADER", "BOOT", "B0", "000000")
        put_inquiry(image, 0x900, "KEMO    VRZ-3372BL", "2.05", "K7", "999999")
        image[0x900 - 12:0x900 - 4] = b"DC070315"
    else:
        put_inquiry(image, 0x400, "KEMO    VRZ-3372BL", "1.10", "K1", "061122")
    return image


# ---- running the tool ------------------------------------------------------------------------

class Tool:
    def __init__(self, path, work):
        self.path = path
        self.work = work
        self.count = 0

    def file(self, data):
        self.count += 1
        name = os.path.join(self.work, "c%d.bin" % self.count)
        with open(name, "wb") as f:
            f.write(data)
        return name

    def run(self, *args):
        return subprocess.run([self.path, *args], capture_output=True)

    def info(self, container_file):
        r = self.run("info", "--json", container_file)
        if r.returncode != 0:
            return None, r
        return json.loads(r.stdout.decode("utf-8")), r

    def unpack(self, container_file):
        out = container_file + ".image"
        r = self.run("unpack", container_file, out)
        if r.returncode != 0:
            return None
        with open(out, "rb") as f:
            return f.read()


def compare(tool, name, container, refusals=None):
    """`refusals`: words that each of kfsflash's refusals kfstool names must contain, in order."""
    path = tool.file(container)
    want, want_image = decode(container)
    got, r = tool.info(path)
    if got is None:
        check(False, "%s: info failed: %s" % (name, r.stderr.decode(errors="replace")))
        return want, want_image
    named = got.pop("kfsflash_refusals", None)
    expected = refusals or []
    check(named is not None and len(named) == len(expected) and
          all(word in text for word, text in zip(expected, named)),
          "%s: kfsflash refusals %r, expected %r" % (name, named, expected))
    check(sorted(got) == sorted(want), "%s: keys %s" % (name, sorted(got)))
    for key in want:
        check(got.get(key) == want[key], "%s: %s is %r, expected %r" % (name, key, got.get(key),
                                                                        want[key]))
    check(tool.unpack(path) == want_image, "%s: unpacked image differs" % name)
    return want, want_image


def hostile_files(tool, kfsmerge, work):
    """An input is never replaced (not under its own name, not through a hard link), an output
    is never written through a link, a special file is refused rather than read for ever, and a
    zip member's name reaches the terminal with its control characters made visible."""
    good = encode_kfs3_banks([bytes(range(64))], 64)
    fw = tool.file(good)
    hard = os.path.join(work, "hard.kfs")
    os.link(fw, hard)
    victim = tool.file(b"someone else's file")
    link = os.path.join(work, "link.bin")
    os.symlink(victim, link)
    fifo = os.path.join(work, "input.fifo")
    os.mkfifo(fifo)
    out = os.path.join(work, "out.bin")
    # A program with the tagged buffers kfsmerge fills: the terminal front end has them too.
    program = os.path.join(work, "program")
    with open(os.path.join(os.path.dirname(kfsmerge), "kfsflash"), "rb") as f:
        program_bytes = f.read()
    with open(program, "wb") as f:
        f.write(program_bytes)
    # name, command, the reason printed
    rows = [
        ("unpack into its input", ["unpack", fw, fw], "an input is never replaced"),
        ("unpack into a hard link to its input", ["unpack", fw, hard],
         "an input is never replaced"),
        ("unpack through a link", ["unpack", fw, link], "a symbolic link"),
        ("pack into its input", ["pack", "--atapi-type", "1", fw, fw],
         "an input is never replaced"),
        ("pack through a link", ["pack", "--atapi-type", "1", fw, link], "a symbolic link"),
        ("info on a FIFO", ["info", fifo], "a FIFO, not a regular file"),
        ("params on a FIFO", ["params", fifo], "a FIFO, not a regular file"),
        ("unpack a FIFO", ["unpack", fifo, out], "a FIFO, not a regular file"),
        ("pack /dev/zero", ["pack", "--atapi-type", "1", "/dev/zero", out],
         "a device, not a regular file"),
        ("kfsmerge into its input", [kfsmerge, program, "-o", program],
         "an input is never replaced"),
        ("kfsmerge into its firmware", [kfsmerge, program, "--kfs1", hard, "-o", hard],
         "an input is never replaced"),
        ("kfsmerge through a link", [kfsmerge, program, "-o", link], "a symbolic link"),
        ("kfsmerge reads /dev/zero", [kfsmerge, "/dev/zero", "-o", out],
         "a device, not a regular file"),
    ]
    for name, command, reason in rows:
        argv = command if command[0] == kfsmerge else [tool.path] + command
        try:
            r = subprocess.run(argv, capture_output=True, timeout=30)
        except subprocess.TimeoutExpired:
            check(False, "%s: still running after 30 s" % name)
            continue
        check(r.returncode == 1 and reason.encode() in r.stderr,
              "%s: exit %d, %r" % (name, r.returncode, r.stderr))
        with open(fw, "rb") as f, open(victim, "rb") as v, open(program, "rb") as p:
            check(f.read() == good and v.read() == b"someone else's file" and
                  p.read() == program_bytes and not os.path.exists(out),
                  "%s: a file was changed" % name)

    # A disk that fills up under the output: the earlier file stays as it was, no partial one.
    small = os.path.join(work, "small")
    os.mkdir(small)
    if os.geteuid() == 0 and subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs",
                                             small], capture_output=True).returncode == 0:
        try:
            earlier = os.path.join(small, "image.bin")
            with open(earlier, "wb") as f:
                f.write(b"an earlier image")
            big = tool.file(encode_kfs3_banks([bytes(0x18000)], 0x18000))
            r = tool.run("unpack", big, earlier)
            with open(earlier, "rb") as f:
                check(r.returncode == 1 and f.read() == b"an earlier image" and
                      os.listdir(small) == ["image.bin"],
                      "unpack onto a full disk: exit %d, %r, %r" % (r.returncode, r.stderr,
                                                                    os.listdir(small)))
        finally:
            subprocess.run(["umount", small])
    else:
        print("skip: a full file system needs root (mount)")

    archive = os.path.join(work, "escapes.zip")
    with zipfile.ZipFile(archive, "w") as z:
        z.writestr("../x\x1b[2J\nAll good.kfs", good)
    r = tool.run("info", archive)
    check(r.returncode == 0 and b"\x1b" not in r.stdout and
          b'zip member               "../x\\x1b[2J\\x0aAll good.kfs"' in r.stdout,
          "zip member with escapes: %r" % r.stdout[-300:])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    args = parser.parse_args()
    kfstool = os.path.join(args.bin_dir, "tools", "kfstool")

    with tempfile.TemporaryDirectory() as work:
        tool = Tool(kfstool, work)

        # KFS3, scrambled, three banks (the last one short), reserved and kernel blocks, type 6.
        img = sample_image(0x3000, 1)
        banks = [bytes(img[0:0x1000]), bytes(img[0x1000:0x2000]), bytes(img[0x2000:0x2A00])]
        decoded = bytearray(img)
        decoded[0x2A00:] = bytes(0x600)
        total, _ = check_sums(bytes(decoded), 6, (0, 0), [])
        c = encode_kfs3_banks(banks, 0x1000, mode=2, seed=(3, 200, 17, 99), ide=4, atapi=6,
                        kernel_type=1, reserved=[(0x10, 0x40), (0x2FF0, 0x10)],
                        kernel=(0x200, 0x100), checksum=total & 0xFFFF)
        want, _ = compare(tool, "KFS3 scrambled", c)
        check(want["checksum_ok"] and want["model_name"] == "KEMO    VRZ-3372BL      ",
              "KFS3 scrambled: model of the fixture")

        # KFS3 with ScrambleMode 1 keeps its banks as stored; a wrong check sum is reported.
        c = encode_kfs3_banks(banks, 0x1000, mode=1, seed=(3, 200, 17, 99), atapi=3, checksum=0x1234)
        want, _ = compare(tool, "KFS3 mode 1", c, refusals=["check sum"])
        check(not want["checksum_ok"], "KFS3 mode 1: fixture check sum should be wrong")

        # KFS3, type 7: version and date code from the second block, "DC" date in front of it.
        img = sample_image(0x2000, 2, two_blocks=True)
        compare(tool, "KFS3 type 7", encode_kfs3_banks([bytes(img)], 0x2000, atapi=7),
                refusals=["check sum"])
        compare(tool, "KFS3 BOOT first", encode_kfs3_banks([bytes(img)], 0x2000, atapi=4),
                refusals=["check sum"])

        # KFS1, scrambled (mode 1), three banks of their own keys.
        img = sample_image(0x30000, 3)
        banks = []
        for i in range(3):
            b = bytearray(img[i * 0x10000:i * 0x10000 + 0x8000 + i])
            b[0] = 2
            banks.append(bytes(b))
        compare(tool, "KFS1 scrambled", encode_kfs1(banks, b"2", mode=1, checksum=0x4242,
                                                    keys=[0x11, 0x80, 0xFF]),
                refusals=["check sum"])
        # KFS1 with nine banks (data at 112), blank version byte, ScrambleMode 2 stored plain.
        banks = [bytes(noise(0x100 + i, 10 + i)) for i in range(9)]
        compare(tool, "KFS1 nine banks", encode_kfs1(banks, b" ", mode=2),
                refusals=["check sum", "identity"])

        # A Philips firmware file.
        img = sample_image(0x1800, 4)
        compare(tool, "Philips file", encode_philips(bytes(img), 0xCAFE, 0x5AA5),
                refusals=["zip archive", "check sum"])

        # What kfstool pack writes decodes here to the image it was given.
        img = bytes(sample_image(0x4000, 5))
        raw = tool.file(img)
        packs = [
            ("pack kfs3", ["--form", "kfs3", "--scramble", "2", "--seed", "1,7,3,5",
                           "--ide-type", "4", "--atapi-type", "6", "--bank-size", "0x1000",
                           "--reserved", "0x1F8:0x40", "--reserved", "0x3000:0x100",
                           "--kernel", "0x10:0x20"], img),
            ("pack kfs3 banks", ["--form=kfs3", "--atapi-type=1", "--bank-size=0x2000",
                                 "--banks", "0x2000,0x1000"], img[:0x3000] + bytes(0x1000)),
            ("pack philips", ["--form", "philips", "--trailer", "0x1234"], img),
        ]
        kfs1_img = bytearray(img[:0x20000] if len(img) >= 0x20000 else img)
        kfs1_img[0] = 2
        raw1 = tool.file(bytes(kfs1_img))
        for name, options, expected in packs + [
                ("pack kfs1", ["--form", "kfs1", "--scramble", "1", "--seed", "9,0,0,0"],
                 bytes(kfs1_img) + bytes(0x10000 - len(kfs1_img)))]:
            out = os.path.join(work, name.replace(" ", "_") + ".out")
            r = tool.run("pack", *options, raw1 if name == "pack kfs1" else raw, out)
            if r.returncode != 0:
                check(False, "%s: %s" % (name, r.stderr.decode(errors="replace")))
                continue
            with open(out, "rb") as f:
                packed = f.read()
            # kfsflash takes a bare Philips file for a zip archive and refuses it.
            want, image = compare(tool, name, packed,
                                  refusals=["zip archive"] if name == "pack philips" else None)
            check(image == expected, "%s: decoded image differs from the input" % name)
            check(want["checksum_ok"], "%s: header check sum is not the image's" % name)
        r = tool.run("pack", "--help")
        check(r.returncode == 0 and b"--bank-size" in r.stdout, "pack --help")
        # A KFS3 container carries a flash type that some flash procedure knows.
        for options in (["--form", "kfs3"], ["--atapi-type", "0"], ["--atapi-type=9"]):
            out = os.path.join(work, "refused.out")
            r = tool.run("pack", *options, raw, out)
            check(r.returncode == 2 and not os.path.exists(out) and b"atapi-type" in r.stderr,
                  "pack %s: exit %d, %r" % (options, r.returncode, r.stderr))

        # info reads a zip archive as kfsflash loads it: the last member counts.
        good = encode_kfs3_banks([bytes(img)], 0x4000, atapi=6)
        archive = os.path.join(work, "fw.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("old.kfs", encode_kfs1([bytes(0x200)]))
            z.writestr("new.kfs", good)
        got, r = tool.info(archive)
        want, _ = decode(good)
        check(got is not None and got.get("zip_member") == "new.kfs" and
              all(got.get(k) == want[k] for k in want), "zip archive: %r" % (got, ))
        with zipfile.ZipFile(archive, "w") as z:
            z.writestr("cut.kfs", good[:-1])
        r = tool.run("info", archive)
        check(r.returncode == 1 and b"Not Valid KFS !" in r.stderr and not r.stdout,
              "zip with a truncated container: exit %d, %r" % (r.returncode, r.stderr))

        # The conventions: --help on standard output with status 0, --version.
        for args in (["--help"], ["-h"], ["info", "--help"], ["unpack", "--help"],
                     ["params", "--help"]):
            r = tool.run(*args)
            check(r.returncode == 0 and r.stdout.startswith(b"usage: kfstool") and not r.stderr,
                  "kfstool %s: exit %d" % (" ".join(args), r.returncode))
        r = tool.run("--version")
        check(r.returncode == 0 and re.match(rb"kfstool \d+\.\d+", r.stdout) is not None,
              "kfstool --version: %r" % r.stdout)

        # Refused containers: exit 1, one line on standard error.
        good = encode_kfs3_banks([bytes(64)], 64)
        version4 = bytearray(good)
        version4[24] = ord("4")
        truncated = good[:-1]
        hostile_reserved = encode_kfs3_banks([bytes(64)], 64, reserved=[(60, 5)])
        big_bank = bytearray(encode_kfs3_banks([bytes(65)], 64))
        short_philips = encode_philips(b"", 0, 0)[:-1]
        kfs1_cut = encode_kfs1([bytes(0x200)])[:-1]
        for name, data in [("version 4", bytes(version4)), ("truncated KFS3", truncated),
                           ("reserved block past the image", hostile_reserved),
                           ("bank larger than its slot", bytes(big_bank)),
                           ("Philips without image", short_philips),
                           ("truncated KFS1", kfs1_cut), ("zeros", bytes(256))]:
            path = tool.file(data)
            for command in (["info", "--json", path], ["info", path],
                            ["unpack", path, path + ".out"]):
                r = tool.run(*command)
                lines = r.stderr.decode(errors="replace").splitlines()
                check(r.returncode == 1 and len(lines) == 1 and not r.stdout,
                      "%s, %s: exit %d, stderr %r" % (name, command[0], r.returncode, lines))

        # A directory opens like a file but cannot be read: refused the same way, no crash.
        for command in (["info", "--json", work], ["unpack", work, os.path.join(work, "d.out")],
                        ["pack", "--atapi-type", "1", work, os.path.join(work, "d.out")]):
            r = tool.run(*command)
            lines = r.stderr.decode(errors="replace").splitlines()
            check(r.returncode == 1 and len(lines) == 1 and not r.stdout,
                  "directory, %s: exit %d, stderr %r" % (command[0], r.returncode, lines))

        hostile_files(tool, os.path.join(os.path.dirname(kfstool), "kfsmerge"), work)

    if FAILURES:
        print("%d mismatches" % len(FAILURES))
        return 1
    print("kfstool agrees with the independent model")
    return 0


if __name__ == "__main__":
    sys.exit(main())
