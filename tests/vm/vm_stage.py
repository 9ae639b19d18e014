#!/usr/bin/env python3
"""The Linux front end through a real kernel: a small QEMU machine (TCG) with QEMU's own CD
drives and the project's emulated drives exported as SCSI CD-ROM devices (TCM-user back store
served by kfs-tcmu-bridge, tcm_loop target). The guest runs the commands of a plan and prints
their output between markers on the serial console; the cases are judged here, most of them
against the same update run in-process on this machine.

The kernel is the distribution's, taken with apt-get download and unpacked under the work
folder (never installed); busybox, sg3-utils and the project's binaries make the initramfs."""
import argparse
import ast
import dataclasses
import glob
import gzip
import hashlib
import io
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "acceptance"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from kfs_fixtures import flash_content  # noqa: E402
from test_flash_families import FAMILIES, FLASH_SIZE, build  # noqa: E402

MODULES = ["configfs", "cdrom", "sr_mod", "sg", "ata_piix", "virtio_pci", "virtio_scsi",
           "target_core_mod", "target_core_user", "tcm_loop", "uio",
           "virtio_net", "crc32c_generic", "iscsi_tcp", "9p", "9pnet_virtio"]
SG_TOOLS = ["sg_inq", "sg_raw", "sg_turs"]
# open-iscsi's daemon and administration tool: the guest kernel's own iSCSI initiator logs in
# through them.
ISCSI_TOOLS = ["/usr/sbin/iscsid", "/usr/sbin/iscsiadm"]
# QEMU's drives: (device options, medium). ide-cd shows the vendor "QEMU" and its model as
# the product; scsi-cd takes all three.
QEMU_DRIVES = [
    ("ide-cd,bus=ide.1,unit=0,model=KFS-ATAPI-1,ver=2.10", True),
    ("scsi-cd,bus=vs.0,vendor=KFSVM,product=SCSI-CD-2,ver=3.20", False),
]
# Known failures, shown but not failing the stage until the work that mends them lands.
GAPS = {
    "tray": "with --yes the tray check asks to remove the disc again and again",
}
# The iSCSI target on the host's loopback: its name, and the SCSI target number of its first
# logical unit on the virtio-scsi bus (each unit is a scsi-block device of its own).
ISCSI_NAME = "iqn.2026-01.org.kfs:emulated-drives"
ISCSI_FIRST_ID = 10
RESTART_QUESTION = ("After updating, the system must be restarted.\nClick Yes to reboot your "
                    "system.")
DRIVE = {"vendor": "KEMO", "product": "VRZ-3372BL", "revision": "1.00", "hardware_id": "K1",
         "date_code": "061001", "flash_size": FLASH_SIZE}


def update_args(path, f, verify=True):
    """kfsflash's arguments for a whole update of family `f` from `path`: verified (unless
    `verify` is false), without questions, and without a backup, whose ReadRom traffic and
    time-stamped file name would differ between the two runs that are compared. A Philips-form
    file names no drive: it is written only with --force."""
    return (["--load", path, "--verify" if verify else "--no-verify", "--yes", "--no-backup"] +
            (["--force"] if f.atapi is None else []))


# ---- the guest: kernel, initramfs, plan -------------------------------------------------------

def sh(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


def kernel(work):
    """The distribution kernel image and its module tree, unpacked once under `work`."""
    deps = sh("apt-cache", "depends", "linux-image-amd64")
    package = re.search(r"Depends: (linux-image-[0-9][^\s]*)", deps).group(1)
    version = package[len("linux-image-"):]
    root = os.path.join(work, "kernel", version)
    image = os.path.join(root, "boot", f"vmlinuz-{version}")
    if not os.path.exists(image):
        download = os.path.join(work, "kernel", "download")
        os.makedirs(download, exist_ok=True)
        for old in glob.glob(os.path.join(download, "*.deb")):
            os.remove(old)
        sh("apt-get", "download", package, cwd=download)
        deb = glob.glob(os.path.join(download, "*.deb"))[0]
        sh("dpkg", "-x", deb, root)
        sh("depmod", "-b", root, version)
        os.remove(deb)
    return root, version, image


def module_files(root, version):
    """Module files to load, dependencies first, each once."""
    ordered = []
    for name in MODULES:
        out = subprocess.run(["modprobe", "-d", root, "-S", version, "--show-depends", name],
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("insmod ") and line.split()[1] not in ordered:
                ordered.append(line.split()[1])
    return ordered


def libraries(binaries):
    found = set()
    for b in binaries:
        for line in sh("ldd", b).splitlines():
            m = re.search(r"(/\S+) \(0x", line)
            if m:
                found.add(m.group(1))
    return sorted(found)


def copy(src, staging, dest):
    target = os.path.join(staging, dest.lstrip("/"))
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copy2(src, target)


def initramfs(work, bin_dir, root, version, plan, data):
    staging = os.path.join(work, "initramfs")
    shutil.rmtree(staging, ignore_errors=True)
    for d in ("bin", "usr/bin", "proc", "sys", "dev", "tmp", "vm/data", "lib/modules", "etc"):
        os.makedirs(os.path.join(staging, d), exist_ok=True)
    # An ordinary user for the cases without privileges.
    with open(os.path.join(staging, "etc", "passwd"), "w") as f:
        f.write("root:x:0:0:root:/:/bin/sh\nkfs:x:1000:1000:kfs:/tmp:/bin/sh\n")
    with open(os.path.join(staging, "etc", "group"), "w") as f:
        f.write("root:x:0:\nkfs:x:1000:\n")
    copy("/bin/busybox", staging, "/bin/busybox")
    os.symlink("busybox", os.path.join(staging, "bin", "sh"))  # for /init; the rest at boot
    ours = [os.path.join(bin_dir, "tools", "kfsflash"), os.path.join(bin_dir, "tools", "kfstool"),
            os.path.join(bin_dir, "emulator", "linux", "kfs-tcmu-bridge")]
    theirs = [shutil.which(t) for t in SG_TOOLS] + ISCSI_TOOLS
    for b in ours + theirs:
        copy(b, staging, "/usr/bin/" + os.path.basename(b))
    for lib in libraries(ours + theirs):
        copy(lib, staging, lib)
        copy(lib, staging, os.path.realpath(lib))
    order = []
    for m in module_files(root, version):
        name = os.path.basename(m)
        copy(m, staging, "/lib/modules/" + name)
        order.append(name)
    with open(os.path.join(staging, "lib/modules/order"), "w") as f:
        f.write("".join(f"{n}\n" for n in order))
    shutil.copy2(os.path.join(HERE, "guest", "init"), os.path.join(staging, "init"))
    shutil.copy2(os.path.join(HERE, "guest", "lib.sh"), os.path.join(staging, "vm", "lib.sh"))
    with open(os.path.join(staging, "vm", "cases.sh"), "w") as f:
        f.write(plan)
    for name, content in data.items():
        with open(os.path.join(staging, "vm", "data", name), "wb") as f:
            f.write(content)
    files = subprocess.run(["find", "."], cwd=staging, check=True, capture_output=True).stdout
    archive = subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=staging, input=files,
                             check=True, capture_output=True).stdout
    path = os.path.join(work, "initramfs.cpio.gz")
    with open(path, "wb") as f:
        f.write(gzip.compress(archive, 1))
    return path


def boot(work, image, initrd, limit, extra=(), memory="512"):
    """Runs the machine; the serial log, the host seconds, and whether it ended by itself.
    SMAP is off: with it, QEMU 7.2's TCG oopses the guest at Wine's first return to user mode.
    Two CPUs (KFS_VM_CPUS), one host thread each: Wine's program, its wineserver and the X
    server work side by side, and the guest takes the second core whenever the host's other
    stages leave it."""
    serial = os.path.join(work, "serial.log")
    disc = os.path.join(work, "disc.raw")
    with open(disc, "wb") as f:
        f.truncate(2048 * 512)  # a blank 1 MB disc
    cpus = os.environ.get("KFS_VM_CPUS", "2")
    model = os.environ.get("KFS_VM_CPU_MODEL", "max,smap=off")
    command = ["qemu-system-x86_64", "-machine", "pc", "-accel",
               "tcg,thread=multi" if cpus != "1" else "tcg", "-cpu", model, "-m", memory,
               "-smp", cpus, "-nographic", "-monitor", "none", "-no-reboot",
               "-serial", f"file:{serial}", "-kernel", image, "-initrd", initrd,
               "-append", "console=ttyS0 panic=-1 quiet loglevel=1",
               "-device", "virtio-scsi-pci,id=vs"]
    for i, (device, medium) in enumerate(QEMU_DRIVES):
        drive = f"if=none,id=cd{i},media=cdrom" + (f",format=raw,file={disc}" if medium else "")
        command += ["-drive", drive, "-device", f"{device},drive=cd{i}"]
    command += list(extra)
    start = time.monotonic()
    p = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    try:
        _, err = p.communicate(timeout=limit)
        ended = True
    except subprocess.TimeoutExpired:
        p.kill()
        _, err = p.communicate()
        ended = False
    seconds = time.monotonic() - start
    with open(serial, "rb") as f:
        log = f.read().decode("latin-1").replace("\r", "")
    if err:
        log += "\n[qemu] " + err.decode("latin-1")
    return log, seconds, ended


# ---- the serial log ----------------------------------------------------------------------------

class Run:
    def __init__(self, status, start, end):
        self.status, self.start, self.end = status, start, end
        self.stdout, self.stderr = [], []

    @property
    def seconds(self):
        return self.end - self.start


def parse(log):
    runs, files, notes, marks = {}, {}, {}, {}
    into = None
    for line in log.split("\n"):
        if line.startswith("@@RUN "):
            _, name, status, start, end = line.split()
            runs[name] = Run(int(status), float(start), float(end))
            into = runs[name].stdout
        elif line == "@@STDERR" and into is not None:
            into = runs[name].stderr
        elif line.startswith("@@FILE "):
            name = line.split()[1]
            files[name] = []
            into = files[name]
        elif line == "@@END":
            into = None
        elif line.startswith("@@NOTE "):
            _, key, *value = line.split()
            notes[key] = value
        elif line.startswith("@@") and into is None:
            word, *rest = line[2:].split()
            marks[word] = rest
        elif into is not None:
            into.append(line)
    return runs, files, notes, marks


# ---- traces --------------------------------------------------------------------------------------

def dropped(cdb, path="tcmu"):
    """True for the operation codes whose CDB bytes 10 and 11 do not reach the drive. LIO's
    target layer keeps as many bytes as the group implies: 10 for 5Ah and for C0h-FFh. QEMU
    sets a command's length from its group before virtio-scsi's pass-through sees it, and copies
    the whole CDB only for the groups it has no length for: 5Ah keeps 10 bytes, C0h-FFh all.
    The guest kernel's own iSCSI initiator sends the CDB as SG_IO gave it: all 12 bytes."""
    if path == "guest":
        return False
    if path == "qemu":
        return cdb[:2] == "5a"
    return cdb[:2] == "5a" or int(cdb[:2], 16) >= 0xC0


def kept(line, path="tcmu"):
    cdb, rest = line.split(" ", 1)
    if dropped(cdb, path):
        cdb = cdb[:20] + "...."
    return f"{cdb} {rest}"


def lossy(line, path="tcmu"):
    """A command that cannot reach the drive whole on the path: nonzero bytes 10-11 that the
    bridge cannot rebuild (it rebuilds the ROM read's length from the transfer length)."""
    cdb, _, length = line.split()
    if not dropped(cdb, path) or cdb[20:] == "0000":
        return False
    return not (cdb[:12] == "5a00384b4511" and int(cdb[20:], 16) == int(length))


def kernel_form(line):
    """Commands the kernel sends of its own that reach the drive: attach, open and close."""
    cdb, direction, _ = line.split()
    return (cdb[:2] in ("00", "1e") and direction == "none"
            or cdb[:2] == "12" and cdb[2:4] == "00" or cdb[:4] == "4a01")


def polls(lines):
    """Runs of the same polling command (TEST UNIT READY, REQUEST SENSE) as one line: their
    count follows the clock, which is the wall clock through the kernel and virtual in-process."""
    out = []
    for line in lines:
        if not (out and line == out[-1] and line[:2] in ("00", "03")):
            out.append(line)
    return out


def compare_traces(reference, bridge, upto=None, path="tcmu"):
    """None when the bridge's trace is the reference (up to line `upto`) with only kernel
    commands added, the dropped bytes left out and polling runs counted once; else the first
    difference. Also the number of kernel lines left out.

    `path` "guest" or "qemu": the trace of an iSCSI unit. It stays attached all the run, so its
    trace goes on after the update (later cases list the drives): it is compared up to the
    reference's end. QEMU and the kernel also ask REQUEST SENSE after the unit's power-on
    report; such lines count as the kernel's."""
    if upto is not None:
        reference = reference[:upto + 1]
    whole = path in ("guest", "qemu")
    reference, i, extra = polls(reference), 0, 0
    for j, line in enumerate(polls(bridge)):
        if i == len(reference) and (upto is not None or whole):
            break
        if i < len(reference) and kept(line, path) == kept(reference[i], path):
            i += 1
        elif i > 0 and line == reference[i - 1] and line[:2] in ("00", "03"):
            pass  # the same poll again, after a kernel command in between
        elif kernel_form(line) or whole and line[:2] == "03":
            extra += 1
        else:
            want = reference[i] if i < len(reference) else "(end)"
            return f"line {j + 1}: {line} where {want} (in-process line {i + 1})", extra
    if i < len(reference):
        return f"in-process line {i + 1} missing: {reference[i]}", extra
    return None, extra


class IscsiTarget:
    """kfs-iscsi-target on the host's loopback, serving one emulated drive per logical unit.
    Either QEMU's iSCSI initiator attaches each unit as a scsi-block device on the virtio-scsi
    bus, or the guest kernel's own initiator logs in over QEMU's user network, where the host's
    loopback is 10.0.2.2."""

    def __init__(self, bin_dir, work, drives, folder="iscsi"):
        self.folder = os.path.join(work, folder)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.count = len(drives)
        description = os.path.join(self.folder, "drives.json")
        with open(description, "w") as f:
            json.dump({"drives": drives}, f)
        ready = os.path.join(self.folder, "port")
        self.log = open(os.path.join(self.folder, "target.log"), "w")
        self.process = subprocess.Popen(
            [os.path.join(bin_dir, "emulator", "iscsi", "kfs-iscsi-target"), "--emulate",
             description, "--port", "0", "--name", ISCSI_NAME, "--out", self.folder, "--ready",
             ready], stdout=self.log, stderr=self.log)
        for _ in range(100):
            if os.path.exists(ready) and open(ready).read().endswith("\n"):
                break
            time.sleep(0.05)
        self.port = int(open(ready).read())

    def qemu_arguments(self):
        args = []
        for lun in range(self.count):
            args += ["-drive", f"if=none,id=isc{lun},driver=iscsi,transport=tcp,"
                     f"portal=127.0.0.1:{self.port},target={ISCSI_NAME},lun={lun}",
                     "-device", f"scsi-block,drive=isc{lun},bus=vs.0,"
                     f"scsi-id={ISCSI_FIRST_ID + lun}"]
        return args

    def stop(self):
        """Ends the target, which writes each unit's flash ROM."""
        self.process.terminate()
        self.process.wait(timeout=30)
        self.log.close()

    def url(self, lun):
        return f"iscsi://127.0.0.1:{self.port}/{ISCSI_NAME}/{lun}"

    def trace(self, lun):
        with open(os.path.join(self.folder, f"lun{lun}.trace")) as f:
            return f.read().splitlines()

    def rom(self, lun):
        with open(os.path.join(self.folder, f"lun{lun}.rom"), "rb") as f:
            return f.read()


# ---- the cases -----------------------------------------------------------------------------------

def slug(name):
    return re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")


# Behind a bridge the emulated drive's clock follows the wall clock, so its erase and programming
# times (1 s a bank, a 2 MB flash in 38 s) are most of a case's time. Where a case is not about
# timing the drive's clock runs TIME_SCALE times faster (the description's "time_scale"; the
# in-process reference's clock is virtual either way). The cases in REAL_TIME keep real time: the
# 2 MB update is timed against in-process, and the never-ready drive waits out the program's
# wall-clock limit.
TIME_SCALE = int(os.environ.get("KFS_VM_TIME_SCALE", "10"))
REAL_TIME = {"mtk5_2mb", "isc_guest_mtk5_2mb", "fault_never_ready"}
# The cases that run beside the wine group (place_beside_wine): updates that mostly wait on
# the drive's clock or the program's own waits, and the unit that never answers.
BESIDE = {"mtk5_2mb", "isc_guest_mtk5_2mb", "isc_guest_philips_form", "isc_guest_no_answer"}


def time_scale(name):
    return 1 if name in REAL_TIME else TIME_SCALE


def scale_label(name):
    return f" (drive time /{time_scale(name)})" if time_scale(name) > 1 else " (real time)"


def description(f, faults=(), scale=1):
    d = dict(DRIVE, family=f.emulated, keeps_checksum=f.keeps_checksum, seed=f.seed,
             faults=list(faults))
    if scale > 1:
        d["time_scale"] = scale
    return json.dumps({"drives": [d]}).encode()


def firmware_file(f, firmware):
    """The file kfsflash loads: the KFS container, or a zip for a bare Philips file."""
    if f.atapi is not None:
        return firmware, "kfs"
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("firmware.bin", firmware)
    return buffer.getvalue(), "zip"


def flash_ranges(f, size):
    """Ranges of the flash that must equal the image after the update: all of it but the
    reserved blocks the container leaves out."""
    ranges, at = [], 0
    for start, length in sorted(f.reserved):
        if start > at:
            ranges.append((at, start - at))
        at = start + length
    if at < size:
        ranges.append((at, size - at))
    return ranges


def expected_flash_hash(image, ranges):
    h = hashlib.sha256()
    for start, length in ranges:
        h.update(image[start:start + length])
    return h.hexdigest()


# libiscsi's own conformance tests that apply to a CD-ROM unit: the others are for disks.
ISCSI_TEST_CU = ["SCSI.TestUnitReady", "SCSI.Inquiry.Standard", "iSCSI.iSCSIcmdsn",
                 "iSCSI.iSCSITMF"]


def preflight_iscsi(stage):
    """Before the machine starts: libiscsi's tools, peers nobody here wrote, against a target of
    its own (so that their commands stay out of the cases' traces)."""
    # Both with a disc: iscsi-ls -s asks each unit TEST UNIT READY and stops at one without.
    drives = [dict(DRIVE, family="mtk7", medium=True), dict(DRIVE, family="ali", medium=True)]
    target = IscsiTarget(stage.bin_dir, stage.work, drives, "iscsi-preflight")
    try:
        def tool(*command):
            p = subprocess.run(command, capture_output=True, text=True, timeout=120)
            return p.returncode, p.stdout + p.stderr
        status, out = tool("iscsi-ls", "-s", f"iscsi://127.0.0.1:{target.port}")
        stage.result("host: iscsi-ls finds the target by SendTargets and lists its units",
                     status == 0 and ISCSI_NAME in out and "Lun:0" in out and "Lun:1" in out
                     and out.count("Type:MMC") == 2, out.strip().replace("\n", " | "))
        for lun in range(len(drives)):
            status, out = tool("iscsi-inq", target.url(lun))
            stage.result(f"host: iscsi-inq on unit {lun} reads the drive's identity",
                         status == 0 and "Vendor:KEMO" in out and "Product:VRZ-3372BL" in out
                         and "Peripheral Device Type:MMC" in out, out[-300:])
        for test in ISCSI_TEST_CU:
            status, out = tool("iscsi-test-cu", f"--test={test}", target.url(0))
            # "tests  Total Ran Passed Failed Inactive"
            summary = re.search(r"tests\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)", out)
            stage.result(f"host: iscsi-test-cu --test={test}",
                         status == 0 and summary is not None and summary.group(4) == "0"
                         and int(summary.group(3)) > 0,
                         summary.group(0) if summary else out[-400:])
    finally:
        target.stop()


def big_update():
    """A whole 2 MB update that needs no dropped bytes (verified by reading the ROM back, no
    check-sum hand-over), for the time per MB against in-process."""
    return dataclasses.replace(next(f for f in FAMILIES if f.name == "mtk5 type 6"),
                               name="mtk5 type 6, 2 MB read back", keeps_checksum=False)


def make_win64_prefix(share):
    """A 64-bit prefix made on this host (it needs no 32-bit code), handed to the guest as a
    tar file: the guest saves the minute its TCG would spend on it. The prefix's copies of
    Wine's own DLLs go in as links to the files they copy, which the guest sees at the same
    paths through the host's root: 700 MB become a few."""
    folder = os.path.join(os.path.dirname(share), "wine-prefix64")
    prefix = os.path.join(folder, "win64")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(prefix)
        env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win64", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        env.pop("DISPLAY", None)
        subprocess.run(["timeout", "300", "/usr/lib/wine/wine64", "wineboot", "-i"], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", "60", "wineserver", "-w"], env=env)
    wine_dlls = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"
    windows = os.path.join("win64", "drive_c", "windows") + os.sep

    def linked(info):
        library = os.path.join(wine_dlls, os.path.basename(info.name))
        if info.isfile() and info.name.startswith(windows) and os.path.isfile(library):
            with open(os.path.join(folder, info.name), "rb") as a, open(library, "rb") as b:
                if a.read() == b.read():
                    info.type, info.linkname, info.size = tarfile.SYMTYPE, library, 0
        return info
    with tarfile.open(os.path.join(share, "prefix-win64.tar"), "w") as tar:
        tar.add(os.path.join(folder, "win64"), "win64", filter=linked)


# Prepared Wine prefixes, kept between runs outside the work folder (as the compiler cache is),
# so that a fresh clone on this machine finds them again. A prefix is made by its Wine and set
# up by the parts of wine_cases.py named here: all of them are in the key.
PREFIX_CACHE = os.environ.get("KFS_VM_CACHE") or os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "kfs-vm")
PREFIX_SETUP = {"LETTERS", "WINE_DLLS", "set_letters", "make_prefix", "save_ready_prefix",
                "add_x86_common_controls"}


def prefix_setup_source():
    """The source text of the parts of wine_cases.py that make and set up a prefix."""
    with open(os.path.join(HERE, "guest", "wine_cases.py")) as f:
        text = f.read()
    parts = []
    for node in ast.parse(text).body:
        names = ([node.name] if isinstance(node, ast.FunctionDef) else
                 [t.id for t in getattr(node, "targets", []) if isinstance(t, ast.Name)])
        if PREFIX_SETUP & set(names):
            parts.append(ast.get_source_segment(text, node))
    return "\n".join(parts)


def prefix_cache_file(arch):
    key = hashlib.sha256(prefix_setup_source().encode())
    key.update(subprocess.run(["dpkg-query", "-W", "-f", "${Package}:${Architecture} "
                               "${Version}\n", "wine*", "libwine*"], capture_output=True
                              ).stdout)
    return os.path.join(PREFIX_CACHE, f"prefix-{arch}-{key.hexdigest()[:16]}.tar")


def keep_ready_prefixes(share, architectures):
    """The prefixes the guest prepared (made-ARCH.tar, see wine_cases.py) go to the cache,
    replacing those of other keys."""
    for arch in architectures:
        made = os.path.join(share, f"made-{arch}.tar")
        if not os.path.exists(made):
            continue
        target = prefix_cache_file(arch)
        os.makedirs(PREFIX_CACHE, exist_ok=True)
        for old in glob.glob(os.path.join(PREFIX_CACHE, f"prefix-{arch}-*.tar")):
            os.remove(old)
        shutil.copy(made, target + ".part")
        os.replace(target + ".part", target)
        print(f"vm: the prepared {arch} prefix is kept for later runs: {target}")


class Stage:
    def __init__(self, bin_dir, work):
        self.bin_dir, self.work = bin_dir, work
        self.kfsflash = os.path.join(bin_dir, "tools", "kfsflash")
        self.data, self.plan, self.checks = {}, [], []
        self.slow = False
        self.results = []

    def in_process(self, name, desc, args):
        """The same command against the same description, in-process: status, output, trace."""
        folder = os.path.join(self.work, "in-process", name)
        os.makedirs(folder, exist_ok=True)
        d = os.path.join(folder, "drives.json")
        with open(d, "wb") as f:
            f.write(desc)
        resolved = [os.path.join(folder, a[len("/vm/data/"):]) if a.startswith("/vm/data/")
                    else a for a in args]
        for a, r in zip(args, resolved):
            if a != r:
                with open(r, "wb") as f:
                    f.write(self.data[a[len("/vm/data/"):]])
        trace = os.path.join(folder, "trace.txt")
        start = time.monotonic()
        p = subprocess.run([self.kfsflash, "--emulate", d, "--trace", trace, *resolved],
                           capture_output=True, text=True, timeout=300)
        seconds = time.monotonic() - start
        with open(trace) as t:
            # The command's three fields; kfsflash appends the outcome of a failed command
            # (" sense 02/04/07"), which the bridge's emulator trace does not carry.
            return p, [" ".join(line.split()[:3]) for line in t.read().splitlines()], seconds

    def result(self, name, ok, detail="", gap=None):
        """One case. `gap`: why a known failure does not fail the stage yet (printed)."""
        self.results.append((name, ok, detail, gap))

    # -- plan ---------------------------------------------------------------------------------

    def add_iscsi_cases(self):
        """Every family and the Philips form as logical units of an iSCSI target, each updated
        whole from a KFS file with verification, through the guest kernel's own initiator; a
        few through QEMU's initiator, which passes 5Ah with 10 bytes. Most run first: their
        units are attached from boot on, and later cases that list the drives reach them too.
        The updates that mostly wait (the 2 MB one on the drive's real clock, the Philips form's
        erase waits, the unit that never answers) run beside the wine group instead."""
        self.iscsi_updates = []
        mtk7 = next(f for f in FAMILIES if f.name == "mtk7 type 8")
        # (file, family, faults); the last unit's drive never answers its third WRITE BUFFER,
        # which the guest kernel times out and aborts.
        every = ([(slug(f.name), f, ()) for f in FAMILIES] + [("mtk5_2mb", big_update(), ())]
                 + [("no_answer", mtk7, ({"command": "3b", "nth": 3, "no_answer": True},))])
        some = [(file, f, ()) for file, f, _ in every if file in ("a0_type_1", "ali_type_2",
                                                                   "philips_form")]
        # The kernel scans LUNs 0-7 only of a unit that claims no SCSI-3 (the emulated drives
        # claim none, so it does not ask REPORT LUNS): one target per eight units, each its own
        # session in the guest. The units updated beside the wine group have a target of their
        # own, logged in to just before: no listing of an earlier case reaches them. The hung
        # unit has its own too: the initiator's task management for it touches no other unit.
        first = [u for u in every if not u[2] and f"isc_guest_{u[0]}" not in BESIDE]
        groups = [(f"guest{i // 8}", "guest", first[i:i + 8]) for i in range(0, len(first), 8)]
        late = [("guest_beside", "guest", [u for u in every if not u[2] and u not in first]),
                ("guest_hung", "guest", [u for u in every if u[2]])]
        for key, _, _ in groups:
            self.plan += [f'iscsi_login "$(cat /vm/data/{key}.port)"']
        for key, _, _ in late:
            self.beside_start += [f'iscsi_login "$(cat /vm/data/{key}.port)"']
        for key, path, updates in groups + late + [("qemu", "qemu", some)]:
            for file, f, faults in updates:
                drives = self.iscsi_drives.setdefault(key, [])
                lun = len(drives)
                name = f"isc_{path}_{file}"
                image, firmware = build(f)
                fw, kind = firmware_file(f, firmware)
                self.data[f"{name}.json"] = description(f, faults, time_scale(name))
                file = slug(f.name) if faults else file
                self.data[f"{file}.{kind}"] = fw  # the same file as the TCM-user case's
                drives.append(json.loads(self.data[f"{name}.json"])["drives"][0])
                args = update_args(f"/vm/data/{file}.{kind}", f)
                find = (f'sr_of_session_lun "$(iscsi_session "$(cat /vm/data/{key}.port)")" {lun}'
                        if path == "guest" else f"sr_at_target {ISCSI_FIRST_ID + lun}")
                found = [f"wait_for 600 '[ -n \"$({find})\" ]'", f"DEV=$({find})"]
                if name in BESIDE:
                    self.beside_start += found + [
                        f'note {name}.device "$DEV solo $(now)"',
                        f'run_bg {name} 300 solo "$DEV" kfsflash {" ".join(args)} --drive "$DEV"']
                    self.beside_end.append(f"collect {name}")
                else:
                    self.plan += found + [
                        'IDX=$(index_of "$DEV")', f'note {name}.device "$DEV $IDX $(now)"',
                        f'run {name} 300 kfsflash {" ".join(args)} --drive "$IDX"']
                self.iscsi_updates.append((name, path, key, lun, f, image, args,
                                           flash_ranges(f, len(image)), faults))

    def place_beside_wine(self):
        """The cases that mostly wait run beside the wine group, each in a /dev of its own
        (solo): the window opens only the devices of its drive letters, and no case reaches
        another's drive. Without the wine group they run side by side at the end."""
        i = next((j for j, line in enumerate(self.plan) if line.startswith("run wine ")), None)
        if i is None:
            self.plan += self.beside_start + self.beside_end
        else:
            self.plan[i:i + 1] = self.beside_start + [self.plan[i]] + self.beside_end

    def add_qemu_cases(self):
        # Any KFS file will do: the drives are not ours.
        self.data["qemu.kfs"] = build(FAMILIES[7])[1]
        self.plan += [
            'for d in $(sr_list); do run "qemu.sg_inq.${d#/dev/}" 30 sg_inq "$d"; done',
            "run qemu.list 60 kfsflash --list --json",
        ]
        for i, (device, _) in enumerate(QEMU_DRIVES):
            model = ("QEMU DVD-ROM" if device.startswith("ide-cd")
                     else re.search(r"product=([^,]+)", device).group(1))
            self.plan += [
                f'DEV=$(sr_of_model "{model}"); IDX=$(index_of "$DEV")',
                # --force: the firmware is for another model, and the attempt is the point.
                # --no-backup: these drives refuse ReadROM, and --yes does not write without
                # a backup.
                f'run qemu.update.{i} 120 kfsflash --load /vm/data/qemu.kfs --drive "$IDX" '
                "--yes --force --no-backup",
                f'run qemu.sg_turs.{i} 30 sg_turs -v "$DEV"',
            ]
        self.plan += ["run qemu.unknown 60 kfsflash --load /vm/data/qemu.kfs --drive 99 --yes"]

    def add_identity_case(self):
        f = FAMILIES[7]
        self.data["ident.json"] = description(f)
        self.plan += [
            "emu_start ident /vm/data/ident.json",
            'run ident.sg_inq 30 sg_inq "$DEV"',
            'run ident.sg_raw 30 sg_raw -r 256 -o /tmp/rr.bin "$DEV" '
            "5a 00 38 4b 45 11 00 00 00 00 01 00",
            'note ident.sg_raw.data "$(od -An -tx1 -v /tmp/rr.bin | tr -d " \\n")"',
            "run ident.list 60 kfsflash --list --json",
            "emu_stop ident",
        ]

    def add_update(self, name, f, faults=(), extra="", prefix=""):
        image, firmware = build(f)
        fw, kind = firmware_file(f, firmware)
        self.data[f"{name}.json"] = description(f, faults, time_scale(name))
        self.data[f"{name}.{kind}"] = fw
        args = update_args(f"/vm/data/{name}.{kind}", f)
        ranges = flash_ranges(f, len(image))
        stop = [f"emu_stop {name}",
                f'note {name}.rom "$(rom_hash {name} {" ".join(f"{s}:{n}" for s, n in ranges)})"']
        if name in BESIDE:
            self.beside_start += [f"emu_start {name} /vm/data/{name}.json", extra,
                                  f'run_bg {name} 300 solo "$DEV" {prefix}kfsflash '
                                  f'{" ".join(args)} --drive "$DEV"']
            self.beside_end += [f"collect {name}"] + stop
        else:
            self.plan += [f"emu_start {name} /vm/data/{name}.json", extra,
                          f'run {name} 300 {prefix}kfsflash {" ".join(args)} --drive "$IDX"'] + stop
        return image, args, ranges

    def add_family_cases(self):
        self.updates = []
        for f in FAMILIES:
            name = slug(f.name)
            image, args, ranges = self.add_update(name, f)
            self.updates.append((name, f, image, args, ranges, ()))
        big = big_update()
        image, args, ranges = self.add_update("mtk5_2mb", big)
        self.updates.append(("mtk5_2mb", big, image, args, ranges, ()))

    def add_fault_cases(self):
        mtk7 = next(f for f in FAMILIES if f.name == "mtk7 type 8")
        self.faults = []
        for name, faults in [
            ("fault-mid-flash", [{"command": "3b", "nth": 3, "sense": "03/0c/00"}]),
            ("fault-short-reply", [{"short_reply": "5a:11", "bytes": 128}]),
        ]:
            image, args, ranges = self.add_update(name, mtk7, faults)
            self.faults.append((name, mtk7, image, args, ranges, faults))
        # A user without privileges, with read and write access to the device: the kernel's
        # command filter refuses the commands that are neither read nor write commands.
        self.add_update("unprivileged", mtk7, extra="chmod 666 /dev/sr*", prefix="as_user ")
        # The device goes away in the middle of the update: the LUN is deleted when the drive
        # takes the first WRITE BUFFER (its trace line), whatever the guest's speed.
        self.add_update("fault_lun_removed", mtk7,
                        extra="(wait_for 3000 'grep -q ^3b /tmp/fault_lun_removed.trace'; "
                              "emu_unlink fault_lun_removed) &")

    def add_wine_cases(self, windows, windows64):
        """The Windows program under Wine in the guest (guest/wine_cases.py), through Wine's own
        pass-through (SG_IO on the device behind a drive letter), the guest kernel's sr/sg
        drivers and its iSCSI initiator, to drives of kfs-iscsi-target. One drive letter per
        unit; one window run makes the i686 updates one after the other."""
        share = os.path.join(self.work, "wine-share")
        shutil.rmtree(share, ignore_errors=True)
        os.makedirs(share)
        self.wine_share = share
        mtk7 = next(f for f in FAMILIES if f.name == "mtk7 type 8")
        # (unit, family, faults): the updater copy's unit first (the copy takes the first drive
        # of its model), the unit that goes away last (the letters after it keep their entries).
        units = ([("updater", mtk7, [])] + [(slug(f.name), f, []) for f in FAMILIES]
                 + [("x86_64", mtk7, []),
                    ("fault_sense", mtk7, [{"command": "3b", "nth": 3, "sense": "03/0c/00"}]),
                    ("no_answer", mtk7, [{"command": "3b", "nth": 3, "no_answer": True}]),
                    ("unit_removed", mtk7, [])])
        self.wine_units, self.wine_runs, self.wine_entries = {}, {}, {}
        for i, (unit, f, faults) in enumerate(units):
            key = f"wine{i // 8}"
            drives = self.iscsi_drives.setdefault(key, [])
            lun = len(drives)
            scale = time_scale(f"wine_{unit}")
            drives.append(json.loads(description(f, faults, scale))["drives"][0])
            image, firmware = build(f)
            fw, kind = firmware_file(f, firmware)
            file = f"{unit}.{kind}"
            with open(os.path.join(share, file), "wb") as out:
                out.write(fw)
            self.data[file] = fw
            self.data[f"wine_{unit}.json"] = description(f, faults, scale)
            # The reference for the window: the window never verifies a Philips-form image.
            args = update_args(f"/vm/data/{file}", f, verify=f.atapi is not None)
            self.wine_units[unit] = dict(key=key, lun=lun, f=f,
                                         image=image, args=args, file=file, faults=faults,
                                         ranges=flash_ranges(f, len(image)))
        for key in sorted({u["key"] for u in self.wine_units.values()}):
            self.plan += [f'iscsi_login "$(cat /vm/data/{key}.port)"']
        self.plan += [f"wine_root {shlex.quote(ROOT)}", ": >/newroot/tmp/work/devices.txt"]
        for unit, u in self.wine_units.items():
            find = (f'sr_of_session_lun "$(iscsi_session "$(cat /vm/data/{u["key"]}.port)")" '
                    f'{u["lun"]}')
            self.plan += [f"wait_for 600 '[ -n \"$({find})\" ]'",
                          f'echo "{unit} $({find})" >>/newroot/tmp/work/devices.txt']
        self.plan += ["cat /newroot/tmp/work/devices.txt",
                      f"run wine 2400 chroot /newroot /usr/bin/python3 "
                      f"{ROOT}/tests/vm/guest/wine_cases.py /tmp/work"]

        # The updater copy, made with kfsmerge from the shipped program and the unit's file.
        program = os.path.join(windows, "app", "kfsflash.exe")
        sh(os.path.join(self.bin_dir, "tools", "kfsmerge"), program, "-o",
           os.path.join(share, "updater.exe"), "--kfs1",
           os.path.join(share, self.wine_units["updater"]["file"]))
        # The identification probe, and two copies named for Windows 98 (see wine_cases.py): one
        # with our WNASPI32.DLL next to it, one with Wine's own.
        probe = os.path.join(windows, "tests", "windows", "aspi_probe.exe")
        shutil.copy(probe, os.path.join(share, "probe98.exe"))
        shutil.copy(probe, os.path.join(share, "probe98wine.exe"))
        shutil.copy(program, os.path.join(share, "kfs98wine.exe"))
        shutil.copy(os.path.join(windows, "emulator", "win32", "WNASPI32.DLL"), share)
        with open(os.path.join(share, "drives98.json"), "w") as out:
            json.dump({"drives": [dict(DRIVE, family="mtk7")]}, out)
        i686_driver = os.path.join(windows, "tests", "e2e", "e2e_driver.exe")

        def updates(units, **extra):
            self.wine_entries.update({unit: i for i, unit in enumerate(units)})
            return [dict(case=unit, entry=i, file=self.wine_units[unit]["file"], **extra)
                    for i, unit in enumerate(units)]
        # Wine's pass-through serves at most five CD-ROM devices in a process (wine_cases.py):
        # the i686 updates run in batches of five units, one program run each.
        nt = [unit for unit in self.wine_units if unit not in ("updater", "x86_64")]
        batches = [nt[i:i + 5] for i in range(0, len(nt), 5)]
        runs = [dict(name="updater_i686", arch="win32", kind="window", driver=i686_driver,
                     program=os.path.join(share, "updater.exe"), units=["updater"],
                     updates=[dict(case="updater", verify=False)])]
        for n, batch in enumerate(batches):
            runs.append(dict(name=f"nt_i686_{n + 1}", arch="win32", kind="window",
                             driver=i686_driver, program=program, units=batch,
                             updates=updates(batch)))
            self.wine_runs.update({unit: f"nt_i686_{n + 1}" for unit in batch})
        runs[-1]["updates"][-1].update(remove_device="unit_removed")
        self.wine_runs["updater"] = "updater_i686"
        self.wine_probe_units = batches[0]
        # The probes and the Windows 98 window come right after the first batch's updates, on
        # its units: the guest starts one wineserver for runs of the same units.
        runs[2:2] = [
            dict(name="probe_i686", arch="win32", kind="console", program=probe,
                 units=batches[0]),
            dict(name="probe98_own_dll", arch="win32", kind="console",
                 program=os.path.join(share, "probe98.exe"),
                 env={"KFS_EMULATOR_DRIVES": "Z:\\tmp\\work\\drives98.json"}),
            dict(name="probe98_wine_dll", arch="win32", kind="console",
                 program=os.path.join(share, "probe98wine.exe"), units=batches[0]),
            dict(name="win98_wine_dll_window", arch="win32", kind="nodrive",
                 driver=i686_driver, program=os.path.join(share, "kfs98wine.exe"),
                 units=batches[0]),
        ]
        architectures = ["win32"]
        if windows64:
            architectures.append("win64")
            x64 = ["x86_64"] + batches[0][:4]
            runs += [
                dict(name="nt_x86_64", arch="win64", kind="window",
                     driver=os.path.join(windows64, "tests", "e2e", "e2e_driver.exe"),
                     program=os.path.join(windows64, "app", "kfsflash.exe"), units=x64,
                     updates=updates(["x86_64"])),
                dict(name="probe_x86_64", arch="win64", kind="console",
                     program=os.path.join(windows64, "tests", "windows", "aspi_probe.exe"),
                     units=x64),
            ]
            self.wine_runs["x86_64"] = "nt_x86_64"
        # A prepared prefix from the cache; else the 64-bit one is made here (it needs no 32-bit
        # code) and the 32-bit one in the guest.
        prefixes = {}
        for arch in architectures:
            cached = prefix_cache_file(arch)
            if os.path.exists(cached):
                shutil.copy(cached, os.path.join(share, f"prefix-{arch}.tar"))
                prefixes[arch] = dict(tar=f"prefix-{arch}.tar", ready=True)
                print(f"vm: the {arch} prefix comes ready from {cached}")
            elif arch == "win64":
                make_win64_prefix(share)
                prefixes[arch] = dict(tar="prefix-win64.tar", ready=False)
        self.wine_architectures, self.wine_prefixes = architectures, prefixes
        with open(os.path.join(share, "plan.json"), "w") as out:
            json.dump(dict(root=ROOT, architectures=architectures, runs=runs, prefixes=prefixes),
                      out, indent=1)

    def add_slow_cases(self):
        """Cases that wait out the program's 120 s wall-clock ready wait through the kernel."""
        mtk7 = next(f for f in FAMILIES if f.name == "mtk7 type 8")
        self.slow = True
        image, args, ranges = self.add_update("fault_never_ready", mtk7, [{"never_ready": True}])
        self.faults.append(("fault_never_ready", mtk7, image, args, ranges,
                            [{"never_ready": True}]))

    # -- judging ------------------------------------------------------------------------------

    def judge(self, runs, files, notes):
        self.judge_iscsi(runs, notes)
        if "wine" in self.groups:
            self.judge_wine(runs)
        if not self.groups & {"qemu", "tcmu"}:
            return
        self.judge_qemu(runs)
        self.judge_identity(runs, notes)
        for name, f, image, args, ranges, faults in self.updates + self.faults:
            self.judge_update(runs, files, notes, name, f, image, args, ranges, faults)
        r = runs.get("fault_lun_removed")
        cause = failure_cause(r)
        self.result("LUN deleted in the middle of an update: ends early at once, saying why",
                    r is not None and r.status not in (0, 137) and r.seconds < 30
                    and re.match(r"(error \d+|host status \d+)", cause) is not None,
                    f"{r.seconds if r else 0:.1f} s; " + short(r))
        r = runs.get("unprivileged")
        text = "\n".join(r.stderr) if r else ""
        self.result("a user without privileges: the kernel's refusal is reported, with advice",
                    r is not None and r.status not in (0, 137) and "00:00:00" not in text
                    and "Verify Error" not in text
                    and re.search(r"not permitted|permission|EPERM|EACCES", text, re.I)
                    is not None, short(r))

    def judge_wine(self, runs):
        """The wine group's results (results.json in the share) against the same updates run
        in-process, the units' traces and flash."""
        wine = runs.get("wine")
        try:
            with open(os.path.join(self.wine_share, "results.json")) as f:
                results = json.load(f)
        except (OSError, ValueError):
            self.result("Wine: the guest's cases ran", False, short(wine))
            return
        self.wine_results = results
        got = results["runs"]
        for unit, u in self.wine_units.items():
            f = u["f"]
            if unit not in self.wine_runs:
                continue  # the x86_64 build was not there
            run = got.get(self.wine_runs[unit], {})
            build_name = "x86_64" if unit == "x86_64" else "i686"
            label = (f"Wine, {build_name} kfsflash.exe, NT pass-through: "
                     + ("an updater copy made with kfsmerge" if unit == "updater" else
                        f"{f.name}" + (f" with {json.dumps(u['faults'])}" if u["faults"] else
                                       " (unit removed mid-update)" if unit == "unit_removed"
                                       else "")) + scale_label(f"wine_{unit}") + ": update")
            update = run.get("updates", {}).get(unit)
            if update is None:
                self.result(label, False, f"did not run: {run.get('problem')}")
                continue
            ref, trace, ref_seconds = self.in_process(f"wine_{unit}",
                                                      self.data[f"wine_{unit}.json"], u["args"])
            self.timings.append((f"wine_{unit}", update.get("seconds", 0), ref_seconds))
            boxes = update.get("boxes", [])
            completed = bool(boxes) and boxes[-1][1] == RESTART_QUESTION
            window = [line for line in update.get("lines", [])]
            printed = [line for line in ref.stdout.splitlines()
                       if not re.fullmatch(r"progress \d+%", line)]
            rom = self.iscsi[u["key"]].rom(u["lun"])
            flash = hashlib.sha256(b"".join(rom[a:a + n] for a, n in u["ranges"])).hexdigest()
            bridge = self.iscsi[u["key"]].trace(u["lun"])
            if unit == "no_answer":
                self.judge_wine_no_answer(label, update, ref, bridge, flash, u)
                continue
            if unit in ("fault_sense", "unit_removed"):
                self.judge_wine_failure(label, unit, update, ref, trace, bridge)
                continue
            if unit != "updater":  # the updater role's list has its own lines
                # The window's list is cleared before flashing: its lines are the in-process
                # update's printed lines from there on, up to "All Completed!".
                end = printed.index("All Completed!") + 1 if "All Completed!" in printed else 0
                self.result(f"{label}: list lines as in-process", window == printed[
                    end - len(window):end], f"window {window}, in-process {printed}")
            problem, extra = compare_traces(
                self.without_identification_after(self.update_part(trace)),
                self.update_part(bridge), path="guest")
            self.result(f"{label}: trace as in-process from the update's first command to its "
                        f"last, CDBs whole ({extra} kernel commands left out)", problem is None,
                        problem or "")
            self.result(f"{label}: \"All Completed!\", flash equals the image",
                        completed and "All Completed!" in window and ref.returncode == 0
                        and flash == expected_flash_hash(u["image"], u["ranges"]),
                        f"boxes {boxes}; in-process {ref.returncode}; flash {flash[:16]}")
        x64 = got.get("nt_x86_64")
        if x64 is not None:
            self.result("Wine: the x86_64 build starts in a 64-bit prefix that holds the x86 "
                        "Common Controls assembly", bool(results.get("x86_common_controls"))
                        and x64.get("start_seconds") is not None,
                        f"{x64.get('problem')}; assembly {results.get('x86_common_controls')}")
        present = len(self.wine_probe_units)
        for name in ("probe_i686", "probe_x86_64"):
            if name not in got and name == "probe_x86_64" and x64 is None:
                continue
            p = got.get(name, {})
            out = p.get("stdout", "")
            models = re.findall(r"model \[KEMO    VRZ-3372BL\s*\] version \[1\.\d\d\]", out)
            pages = out.count("vendor page ok 1 sense 00/00/00")
            self.result(f"Wine: identification probe ({name[6:]}), NT pass-through: drive count, "
                        "identity, vendor pages", p.get("status") == 0
                        and "UsesPassThrough 1" in out and f"DriveCount {present}" in out
                        and len(models) == present and pages == present,
                        out.replace("\n", " | ")[:600] + p.get("stderr", "")[-200:])
        p = got.get("probe98_own_dll", {})
        out = p.get("stdout", "")
        self.result("Wine, Windows 98 mode, our i686 WNASPI32.DLL: the probe finds the drive "
                    "through the 32-bit ASPI calls", p.get("status") == 0
                    and "UsesPassThrough 0" in out and "DriveCount 1" in out
                    and "model [KEMO    VRZ-3372BL" in out and "vendor page ok 1" in out,
                    out.replace("\n", " | ")[:600])
        p = got.get("probe98_wine_dll", {})
        n = got.get("win98_wine_dll_window", {})
        # Wine's wnaspi32 is a stub: it lists no adapter on Linux and refuses every request.
        self.result("Wine, Windows 98 mode, Wine's own wnaspi32: \"No Drive found !\" "
                    "(a documented limit of Wine, not of the program)",
                    "DriveCount 0" in p.get("stdout", "")
                    and n.get("box") == ["Error", "No Drive found !"],
                    f"probe {p.get('stdout', '')[:200]!r}; window {n}")

    @staticmethod
    def update_part(trace):
        """A trace from the update's first command on. The window identifies every drive at
        start and at every load (INQUIRY), so a unit's trace holds those reads once for each
        unit updated before it, and the in-process update identifies its one drive in its own
        order (the vendor page too): both are cut at the first command that is neither an
        identification nor the kernel's."""
        def identifying(line):
            return line.startswith(("12", "5a00384b4510")) or kernel_form(line)
        return trace[next((j for j, line in enumerate(trace) if not identifying(line)),
                          len(trace)):]

    @staticmethod
    def without_identification_after(trace):
        """The in-process update without the identification after its last command: the
        window reads the new identity with INQUIRY only, the command line front end also reads
        the vendor page."""
        last = max((j for j, line in enumerate(trace) if not (
            line.startswith(("12", "5a00384b4510")) or kernel_form(line))), default=-1)
        return trace[:last + 1]

    def judge_wine_no_answer(self, label, update, ref, bridge, flash, u):
        """A WRITE BUFFER the drive never answers. The guest kernel times it out and aborts
        it; Wine passes on the SCSI status (none: good) and drops the host status, so the
        program takes the write for done and sends the next one, which the drive refuses as out
        of sequence. Recorded as a limit of Wine: the window ends as in-process, with the
        procedure's failure text, but the log names the next command and not the time-out."""
        boxes = update.get("boxes", [])
        window = update.get("lines", [])
        writes = [i for i, line in enumerate(bridge) if line.startswith("3b")]
        after = len(bridge) - 1 - writes[2] if len(writes) >= 3 else 0
        cause = next((line[len("  cause: "):] for line in ref.stderr.splitlines()
                      if line.startswith("  cause: ")), "")
        failed = next((line.strip() for line in ref.stderr.splitlines()
                       if line.startswith("Error: ")), "")[len("Error: "):]
        log = self.wine_log_block("no_answer")
        logged = next((line for line in log.splitlines() if line.startswith("failure: ")), "")
        self.result(f"{label}: RECORDED (a limit of Wine): the timed-out write comes back as "
                    "done and the program sends the next one; the error box as in-process, "
                    "no success, the flash not written; in-process the cause is the host's "
                    "time-out",
                    bool(boxes) and boxes[-1] == ["Error", failed] and after > 0
                    and "All Completed!" not in window
                    and flash != expected_flash_hash(u["image"], u["ranges"])
                    and "host status 3" in cause,
                    f"{update.get('seconds')} s; boxes {boxes}; {after} commands after the held "
                    f"one; the log: {logged!r}; in-process: {failed!r}, {cause!r}")

    def wine_log_block(self, unit):
        """The block of kfsflash.log of the unit's run that names the unit's drive entry."""
        path = os.path.join(self.wine_share, self.wine_runs[unit] + ".kfsflash.log")
        if not os.path.exists(path):
            return ""
        entry = self.wine_entries[unit]
        return next((block for block in open(path, encoding="latin-1").read().split("=== ")
                     if f'\ndrive: {entry} "' in block), "")

    def judge_wine_failure(self, label, unit, update, ref, trace, bridge):
        boxes = update.get("boxes", [])
        log = self.wine_log_block(unit)
        cause = next((line[len("  cause: "):] for line in ref.stderr.splitlines()
                      if line.startswith("  cause: ")), "")
        error = [b for b in boxes if b[0] == "Error"]
        if unit == "fault_sense":
            text = ref.stdout + ref.stderr
            self.result(f"{label}: ends early; the error box says what in-process says, "
                        "kfsflash.log carries the sense as in-process", bool(error)
                        and error[0][1].strip() in text and ref.returncode != 0 and cause != ""
                        and cause in log,
                        f"boxes {boxes}; lines {update.get('lines')}; in-process cause "
                        f"{cause!r}; log {log[-400:]!r}")
        else:
            # Wine reports the deleted device's every command as ERROR_GEN_FAILURE (31), which
            # is no sign of a device gone on Windows: the ready wait runs to its limit.
            self.result(f"{label}: ends early, an error box, kfsflash.log naming the failed "
                        "command and the Windows error", bool(error)
                        and re.search(r"failure: .* failed: Windows error \d+", log, re.S)
                        is not None, f"{update.get('seconds')} s; boxes {boxes}; lines "
                        f"{update.get('lines')}; log {log[-400:]!r}")

    def judge_lines(self, label, r, ref, name, notes):
        """The status and printed lines of a run in the guest against the same run in-process."""
        device = (notes.get(f"{name}.device") or [""])[0]
        same = r.status == ref.returncode
        here = os.path.join(self.work, "in-process", name, "")
        same = same and (lines(r.stdout, device, "/vm/data/")
                         == lines(ref.stdout.splitlines(), "emulated:0", here))
        same = same and (lines(r.stderr, device, "/vm/data/")
                         == lines(ref.stderr.splitlines(), "emulated:0", here))
        detail = f"kernel {r.status} in-process {ref.returncode}"
        if not same:
            detail += f"; kernel said {tail(r)!r}, in-process {tail_text(ref)!r}"
        self.result(f"{label}: status and lines as in-process", same, detail)

    def judge_iscsi(self, runs, notes):
        for name, path, key, lun, f, image, args, ranges, faults in self.iscsi_updates:
            via = "the guest's" if path == "guest" else "QEMU's"
            label = (f"iSCSI, {via} initiator: {f.name}"
                     + (f" with {json.dumps(list(faults))}" if faults else "")
                     + f"{scale_label(name)}: update")
            r = runs.get(name)
            if r is None:
                self.result(label, False, "did not run")
                continue
            ref, trace, ref_seconds = self.in_process(name, self.data[f"{name}.json"], args)
            self.timings.append((name, r.seconds, ref_seconds))
            got = self.iscsi[key].trace(lun)
            loses = next((i for i, line in enumerate(trace) if lossy(line, path)), None)
            if loses is not None:
                problem, extra = compare_traces(trace, got, loses, path)
                self.result(f"{label}: ends early at {trace[loses].split()[0]} (QEMU passes 10 "
                            "bytes of 5Ah)", r.status != 0 and problem is None,
                            f"status {r.status}; {problem or ''}; {tail(r)}")
                continue
            self.judge_lines(label, r, ref, name, notes)
            if faults:
                # The hung unit's update runs late: the drive listings before it read its
                # identity too. Both traces are compared from the update's first command.
                trace, got = self.update_part(trace), self.update_part(got)
            problem, extra = compare_traces(trace, got, path=path)
            self.result(f"{label}: trace as in-process, CDBs whole ({extra} kernel commands left "
                        "out)", problem is None, problem or "")
            if faults:
                # The kernel times the command out and aborts it: the front end ends there with
                # the adapter's status as the cause, as in-process.
                self.result(f"{label}: ends early with the kernel's time-out as the cause",
                            r.status not in (0, 137) and "host status" in "\n".join(r.stderr),
                            f"{r.seconds:.1f} s; {tail(r)}")
                continue
            # A whole update without faults must succeed: agreeing with an in-process run that
            # failed would prove nothing.
            rom = self.iscsi[key].rom(lun)
            got = hashlib.sha256(b"".join(rom[a:a + n] for a, n in ranges)).hexdigest()
            self.result(f"{label}: succeeds, flash equals the image",
                        ref.returncode == 0 and r.status == 0
                        and got == expected_flash_hash(image, ranges),
                        f"status {r.status}, in-process {ref.returncode}; {got}")

    def judge_qemu(self, runs):
        idents = {}
        for key, r in runs.items():
            if key.startswith("qemu.sg_inq."):
                text = "\n".join(r.stdout)
                field = {k: (re.search(rf"{k} identification: (.*)", text) or [None, ""])[1]
                         for k in ("Vendor", "Product")}
                rev = (re.search(r"Product revision level: (.*)", text) or [None, ""])[1]
                idents[key[len("qemu.sg_inq."):]] = (field["Vendor"].strip(),
                                                     field["Product"].strip(), rev.strip())
        entries = listed_drives(runs.get("qemu.list"))
        ok = len(entries) == len(idents) >= 2
        for dev, (vendor, product, rev) in idents.items():
            ok = ok and [(e["vendor"], e["product"], e["version"]) for e in entries
                         if e["path"] == f"/dev/{dev}"] == [(vendor, product, rev)]
        self.result("QEMU drives: --list shows each once, as sg_inq reads it", ok,
                    f"sg_inq {idents}; list {entries}")
        for i, (device, medium) in enumerate(QEMU_DRIVES):
            r = runs.get(f"qemu.update.{i}")
            what = f"QEMU {device.split(',')[0]} ({'with' if medium else 'without'} medium)"
            text = "\n".join(r.stderr + r.stdout) if r else ""
            cause = failure_cause(r)
            if medium:
                # The disc must come out first, which only a person can do.
                why = "Please remove your disc" in text
            else:
                # The first command that needs a disc fails, and its sense is the cause.
                why = (re.match(r"[0-9A-F]{2}/[0-9A-F]{2}/[0-9A-F]{2} [A-Z]", cause) is not None
                       and not cause.startswith("00/00/00"))
            self.result(f"{what}: an update ends early, saying why",
                        r is not None and r.status in (3, 4, 5) and "All Completed" not in text
                        and why, short(r))
            if not medium:
                # sg_turs, a peer nobody here wrote, finds the drive not ready without a disc;
                # kfsflash's cause names the same sense.
                t = runs.get(f"qemu.sg_turs.{i}")
                said = "\n".join(t.stdout + t.stderr) if t else ""
                self.result(f"{what}: sg_turs reports not ready, no medium, as kfsflash's cause",
                            t is not None and t.status != 0
                            and re.search(r"Sense key: Not Ready", said) is not None
                            and re.search(r"Medium not present", said) is not None
                            and re.match(r"02/3A/0\d NOT READY, MEDIUM NOT PRESENT", cause)
                            is not None, said.replace("\n", " | ")[:300] + f" / {cause}")
        r = runs.get("qemu.unknown")
        self.result("unknown --drive 99: refused", r is not None and r.status in (2, 3)
                    and any("99" in line for line in r.stderr), short(r))

    def judge_identity(self, runs, notes):
        f = FAMILIES[7]
        inq = "\n".join(runs["ident.sg_inq"].stdout) if "ident.sg_inq" in runs else ""
        entries = listed_drives(runs.get("ident.list"))
        ok = ("Vendor identification: KEMO" in inq and "Product identification: VRZ-3372BL" in inq
              and "Product revision level: 1.00" in inq
              and [(e["vendor"], e["product"], e["version"]) for e in entries
                   if e["path"] == (notes.get("ident.device") or [""])[0]]
              == [("KEMO", "VRZ-3372BL", "1.00")])
        self.result("emulated drive: sg_inq and --list read the same identity", ok,
                    inq.replace("\n", " | ")[:300] + f" / {entries}")
        data = (notes.get("ident.sg_raw.data") or [""])[0]
        want = flash_content(f.seed, 256).hex()
        self.result("emulated drive: sg_raw ReadRom 256 bytes equal the drive's ROM",
                    data == want, f"got {data[:32]}... want {want[:32]}...")

    def judge_update(self, runs, files, notes, name, f, image, args, ranges, faults):
        r = runs.get(name)
        label = (f"{f.name}" + (f" with {json.dumps(faults)}" if faults else "")
                 + scale_label(name) + ": update")
        if r is None:
            self.result(label, False, "did not run")
            return
        ref, trace, ref_seconds = self.in_process(name, self.data[f"{name}.json"], args)
        self.timings.append((name, r.seconds, ref_seconds))
        bridge = files.get(f"{name}.trace", [])
        loses = next((i for i, line in enumerate(trace) if lossy(line)), None)
        if loses is not None:
            # The target layer drops bytes the drive needs: the update must end early, at that
            # command, having sent what the in-process update sent up to it.
            problem, extra = compare_traces(trace, bridge, loses)
            self.result(f"{label}: ends early at {trace[loses].split()[0]} (bytes 10-11 dropped "
                        f"by the target layer)", r.status != 0 and problem is None,
                        f"status {r.status}; {problem or ''}; {tail(r)}")
            return
        self.judge_lines(label, r, ref, name, notes)
        problem, extra = compare_traces(trace, bridge)
        self.result(f"{label}: trace as in-process ({extra} kernel commands left out)",
                    problem is None, problem or "")
        if not faults:
            rom = (notes.get(f"{name}.rom") or [""])[0]
            self.result(f"{label}: succeeds, flash equals the image",
                        ref.returncode == 0 and r.status == 0
                        and rom == expected_flash_hash(image, ranges),
                        f"status {r.status}, in-process {ref.returncode}; {rom}")
        elif ref.returncode == 0:
            rom = (notes.get(f"{name}.rom") or [""])[0]
            self.result(f"{label}: flash equals the image", rom ==
                        expected_flash_hash(image, ranges), rom)


def listed_drives(run):
    """The entries of `kfsflash --list --json`."""
    try:
        return json.loads("\n".join(run.stdout)) if run and run.status == 0 else []
    except ValueError:
        return []


def lines(text, device, folder):
    """Printed lines to compare: the device's name and the firmware's folder made neutral, and
    without the progress lines, whose steps follow the drive's progress as the polls meet it
    (the wall clock through the kernel)."""
    return [line.replace(device, "DEVICE").replace(folder, "FOLDER/") for line in text
            if not re.fullmatch(r"progress \d+%", line)]


def failure_cause(r):
    """The text after "cause: " of the failed command kfsflash names, or ""."""
    for line in (r.stderr if r else []):
        if line.startswith("  cause: "):
            return line[len("  cause: "):]
    return ""


def short(r):
    if r is None:
        return "did not run"
    return f"status {r.status}: " + " | ".join((r.stderr + r.stdout)[-3:])


def tail(r):
    return " | ".join((r.stderr + r.stdout)[-2:])


def tail_text(p):
    return " | ".join((p.stderr.splitlines() + p.stdout.splitlines())[-2:])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", default=os.path.join(ROOT, "build", "native-release"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "vm"))
    parser.add_argument("--timeout", type=int, default=900, help="host seconds for the guest")
    parser.add_argument("--slow", action="store_true",
                        help="also the cases that wait out the 120 s ready wait")
    parser.add_argument("--debug-plan", help="a guest script to run instead of the cases")
    parser.add_argument("--only", help="groups joined by +: iscsi, qemu, tcmu (qemu+tcmu go "
                        "together), wine (the Windows program under Wine)")
    parser.add_argument("--windows-dir", default=os.path.join(ROOT, "build", "windows"),
                        help="the i686 build (preset windows) the wine group runs")
    parser.add_argument("--windows64-dir", default=os.path.join(ROOT, "build", "windows64"),
                        help="the x86_64 build (preset windows64); left out when not built")
    args = parser.parse_args()
    groups = set((args.only or "iscsi+qemu+tcmu+wine").split("+"))
    if not groups <= {"iscsi", "qemu", "tcmu", "wine"} or ("qemu" in groups) != ("tcmu" in groups):
        parser.error(f"--only {args.only}: groups are iscsi, qemu+tcmu and wine")
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()

    stage = Stage(os.path.abspath(args.bin_dir), args.work)
    stage.timings = []
    stage.groups = groups
    stage.iscsi_updates, stage.updates, stage.faults, stage.iscsi = [], [], [], {}
    stage.iscsi_drives, stage.wine_units = {}, {}
    stage.beside_start, stage.beside_end = [], []
    if "iscsi" in stage.groups:
        stage.add_iscsi_cases()
    if "qemu" in stage.groups:
        stage.add_qemu_cases()
        stage.add_identity_case()
        stage.add_family_cases()
        stage.add_fault_cases()
        if args.slow:
            stage.add_slow_cases()
    if "wine" in stage.groups:
        windows64 = args.windows64_dir
        if not os.path.exists(os.path.join(windows64, "app", "kfsflash.exe")):
            print(f"vm: no x86_64 build in {windows64}: the wine group runs the i686 build only")
            windows64 = None
        stage.add_wine_cases(os.path.abspath(args.windows_dir), windows64 and
                             os.path.abspath(windows64))
    stage.place_beside_wine()
    if stage.iscsi_updates:
        preflight_iscsi(stage)
    if stage.iscsi_drives:
        for key, drives in stage.iscsi_drives.items():
            stage.iscsi[key] = IscsiTarget(stage.bin_dir, args.work, drives, f"iscsi-{key}")
            stage.data[f"{key}.port"] = str(stage.iscsi[key].port).encode()
    plan = "\n".join(stage.plan) + "\n"
    if args.debug_plan:
        with open(args.debug_plan) as f:
            plan = f.read()
    root, version, image = kernel(args.work)
    initrd = initramfs(args.work, stage.bin_dir, root, version, plan, stage.data)
    print(f"vm: kernel {version}, initramfs {os.path.getsize(initrd) // 1024} KB")
    extra, memory, limit = [], "512", args.timeout
    if stage.iscsi:
        extra = (stage.iscsi["qemu"].qemu_arguments() if "qemu" in stage.iscsi else []) + [
            "-netdev", "user,id=net0", "-device", "virtio-net-pci,netdev=net0"]
    if "wine" in stage.groups:
        # Wine from the host's own files: its root read-only (the guest mounts it as "hostroot"
        # and chroots into it), and the work share writable.
        extra += ["-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,"
                  "multidevs=remap",
                  "-virtfs", f"local,path={stage.wine_share},mount_tag=work,security_model=none,"
                  "multidevs=remap",
                  "-virtfs", f"local,path={ROOT.replace(',', ',,')},mount_tag=source,security_model=none,"
                  "readonly=on,multidevs=remap"]
        memory, limit = "4096", args.timeout + 1800
    try:
        log, seconds, ended = boot(args.work, image, initrd, limit, extra, memory)
    finally:
        for target in stage.iscsi.values():
            target.stop()
    runs, files, notes, marks = parse(log)
    if args.debug_plan:
        print(log)
        return 0
    if not ended or "DONE" not in marks:
        print(log[-6000:])
        print(f"vm: FAILED: the guest {'hung' if not ended else 'stopped early'} "
              f"after {seconds:.0f} s (serial log {args.work}/serial.log)")
        return 1
    stage.judge(runs, files, notes)

    failed = [r for r in stage.results if not r[1] and not r[3]]
    for name, ok, detail, gap in stage.results:
        word = "PASS" if ok else "GAP " if gap else "FAIL"
        print(f"{word}  {name}" + (f"\n      {detail}" if detail and not ok else "")
              + (f"\n      known: {gap}" if gap and not ok else ""))
    boot_at = float(marks.get("READY", ["0"])[0])
    print(f"vm: guest boot to the CD devices {boot_at:.1f} s (guest clock); "
          f"guest ran {seconds:.0f} s host time; stage {time.monotonic() - started:.0f} s")
    for name, kernel_s, ref_s in stage.timings:
        print(f"vm: {name}: {kernel_s:.1f} s through the kernel (guest), "
              f"{ref_s:.2f} s in-process (host)")
    if "wine" in stage.groups:
        if failed:
            # A prefix from the cache that the failure may come from is not offered again.
            for arch, given in stage.wine_prefixes.items():
                if given["ready"] and os.path.exists(prefix_cache_file(arch)):
                    os.remove(prefix_cache_file(arch))
        else:
            keep_ready_prefixes(stage.wine_share, stage.wine_architectures)
    passed = sum(1 for r in stage.results if r[1])
    print(f"vm: {passed} of {len(stage.results)} cases passed, {len(failed)} failed, "
          f"{len(stage.results) - passed - len(failed)} known gaps")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
