#!/usr/bin/env python3
"""kfsflash against a hostile user, file and terminal: broken pipes and signals in the middle of a
write, backups that would replace or follow something, unusable backup folders, identities that
carry escape sequences, special files as inputs, Ctrl-C during an extraction, and the smaller
slips (a drive that never becomes ready, a trace naming an input, option clashes, unknown
description keys, too many devices). Each case is a row of a table with what must hold.

The mid-write cases act at a fixed command of the update: the trace goes into a FIFO this script
reads, and the action (closing the output pipe, sending a signal) happens when the trace reaches
the first flash block. The FIFO is kept small and not read while the action is taken, so the
program cannot run far past that command meanwhile."""
import argparse
import errno
import fcntl
import json
import os
import select
import signal
import stat
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kfs_fixtures import encode_kfs3, noise, put_inquiry  # noqa: E402
from test_kfsflash_safety import MODEL, Runner, container, drive, written  # noqa: E402

OK, USAGE, NOTHING_WRITTEN, WRITE_FAILED, NOT_CONFIRMED, INTERRUPTED = 0, 2, 3, 4, 5, 130
KB64 = 0x10000
F_SETPIPE_SZ = 1031


def big_image(revision="1.10", size=16 * KB64):
    data = noise(size, 11)
    put_inquiry(data, 0x1000, MODEL, revision)
    return bytes(data)


def run_with_action(r, drives, args, action, signal_to_send=None, until="3b"):
    """Runs an update with its trace in a FIFO; when the trace reaches the first command that
    starts with `until`, `action` ("close-output", "close-output+HUP" or "signal") is taken.
    Returns the exit status (negative: killed by that signal), the output read before the action,
    the trace, whether the program stopped (SIGTSTP and friends) and whether programming had
    ended when it did."""
    fifo = r.path("trace.fifo")
    if os.path.exists(fifo):
        os.remove(fifo)
    os.mkfifo(fifo)
    desc = r.write("drives.json", json.dumps({"drives": drives}).encode())
    out_read, out_write = os.pipe()
    # A process group of its own in this session: a stop signal then really stops it (the group
    # is not orphaned), as it would in a shell.
    p = subprocess.Popen([r.kfsflash, "--emulate", desc, "--trace", fifo] + args,
                         stdin=subprocess.DEVNULL, stdout=out_write, stderr=out_write,
                         cwd=r.work, process_group=0)
    os.close(out_write)
    trace_fd = os.open(fifo, os.O_RDONLY)
    try:
        fcntl.fcntl(trace_fd, F_SETPIPE_SZ, 4096)
    except OSError:
        pass
    os.set_blocking(out_read, False)
    trace, pending, output = [], b"", b""
    acted, stopped, stopped_after_programming = False, False, None
    status = None
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([trace_fd] + ([out_read] if out_read >= 0 else []), [], [],
                                    0.05)
        if out_read >= 0 and out_read in ready:
            try:
                chunk = os.read(out_read, 65536)
                output += chunk
                if not chunk:
                    os.close(out_read)
                    out_read = -1
            except BlockingIOError:
                pass
        if trace_fd in ready:
            chunk = os.read(trace_fd, 65536)
            if not chunk:
                break
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for line in lines:
                trace.append(line.decode())
                if not acted and trace[-1].startswith(until):
                    acted = True
                    if action.startswith("close-output"):
                        os.close(out_read)
                        out_read = -1
                    if action == "close-output+HUP":
                        # Both at once, as when a terminal window is closed under the program.
                        os.kill(p.pid, signal.SIGHUP)
                    elif action == "signal":
                        os.kill(p.pid, signal_to_send)
        pid, wait_status = os.waitpid(p.pid, os.WNOHANG | os.WUNTRACED)
        if pid and os.WIFSTOPPED(wait_status):
            stopped = True
            # Programming has ended when the medium was unlocked after the last flash block.
            blocks = [i for i, t in enumerate(trace) if t.startswith(until)]
            unlocks = [i for i, t in enumerate(trace) if t.startswith("1e00000000")]
            stopped_after_programming = bool(unlocks) and unlocks[-1] > blocks[-1]
            os.kill(p.pid, signal.SIGCONT)
        elif pid:
            status = os.waitstatus_to_exitcode(wait_status)
            break
    os.close(trace_fd)
    if status is None:
        try:
            _, wait_status = os.waitpid(p.pid, 0)
            status = os.waitstatus_to_exitcode(wait_status)
        except ChildProcessError:
            status = p.returncode
    p.returncode = status
    if out_read >= 0:
        os.set_blocking(out_read, True)
        while chunk := os.read(out_read, 65536):
            output += chunk
        os.close(out_read)
    return status, output.decode(errors="replace"), trace, stopped, stopped_after_programming


def rom(r, name):
    with open(r.path(name), "rb") as f:
        return f.read()


def mid_write_table(r):
    """Finding 1: nothing the terminal or its pipes do stops a write once it has begun."""
    image = big_image()
    fw = r.write("big.kfs", encode_kfs3(image, KB64, 6))

    def mtk5(**kw):
        d = drive(rom_file=r.path("flash.bin"))
        d.update(kw)
        return d

    # name, drive, action, signal, status, text printed, flash holds the image
    rows = [
        ("output pipe closed (2>&1 | tee, tee ended)", mtk5(), "close-output", None, OK, None,
         True),
        ("terminal gone: SIGHUP and the pipe closed", mtk5(), "close-output+HUP", signal.SIGHUP,
         INTERRUPTED, None, True),
        ("Ctrl-Z (SIGTSTP) waits for programming to end", mtk5(), "signal", signal.SIGTSTP, OK,
         None, True),
        ("SIGTTOU (a background write) does not stop the write", mtk5(), "signal",
         signal.SIGTTOU, OK, None, True),
        ("SIGTTIN does not stop the write", mtk5(), "signal", signal.SIGTTIN, OK, None, True),
        # The write fails after the held signal (the drive stays in its boot code): the status
        # tells the failed write, not 130.
        ("SIGTERM, then a failed write", mtk5(faults=[{"stay_boot": 3}]), "signal",
         signal.SIGTERM, WRITE_FAILED, "the write failed", False),
    ]
    for name, d, action, sig, status, text, holds_image in rows:
        if os.path.exists(r.path("flash.bin")):
            os.remove(r.path("flash.bin"))
        got, out, trace, stopped, after = run_with_action(
            r, [d], [fw, "--yes", "--no-backup"], action, sig)
        r.check(f"{name}: exit status", got == status, f"{got} != {status}\n{out[-2000:]}")
        if text:
            r.check(f"{name}: says {text!r}", text in out, out[-2000:])
        r.check(f"{name}: never stopped before programming ended",
                not stopped or after, f"stopped with the trace at {trace[-1:]}")
        if holds_image:
            flash = rom(r, "flash.bin") if os.path.exists(r.path("flash.bin")) else b""
            r.check(f"{name}: the flash holds the image", flash[:len(image)] == image,
                    "the flash differs from the image")
        r.check(f"{name}: the medium was unlocked at the end",
                any(t.startswith("1e00000000") for t in trace[-40:]), trace[-5:])


def backup_table(r):
    """Findings 2 and 3: a backup never replaces or follows anything, and an update without one
    stops unless --no-backup says so."""
    fw_bytes = container()
    fw = r.write("fw.kfs", fw_bytes)
    mounts = []

    def fresh(name, data=b"an earlier backup, maybe the only copy"):
        return r.write(name, data)

    def link(name, target):
        path = r.path(name)
        if os.path.lexists(path):
            os.remove(path)
        os.symlink(target, path)
        return path

    def small_folder(name, options):
        """A file system of its own (root only): full, or read-only."""
        path = r.path(name)
        os.makedirs(path, exist_ok=True)
        if os.geteuid() != 0:
            return None
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", path],
                              capture_output=True)
        if done.returncode != 0:
            return None
        mounts.append(path)
        return path

    existing = fresh("old.kfs")
    victim = fresh("victim.kfs", b"a file the link points at")
    linked = link("linked.kfs", victim)
    dangling = link("dangling.kfs", r.path("nowhere.kfs"))
    hard = r.path("hard.kfs")
    if os.path.exists(hard):
        os.remove(hard)
    os.link(fw, hard)
    full = small_folder("full", "size=64k")
    read_only = small_folder("read-only", "size=1m,ro")

    # name, arguments, status, texts, files that must keep their content, must not exist,
    # written to the flash
    rows = [
        ("--backup names an existing file", ["--backup", existing, "--drive", "0"],
         NOTHING_WRITTEN, ["old.kfs exists: a backup never replaces a file"],
         {existing: b"an earlier backup, maybe the only copy"}, [], False),
        ("--backup names the firmware file", ["--backup", fw, fw], NOTHING_WRITTEN,
         ["fw.kfs is the firmware file: a backup never replaces it"], {fw: fw_bytes}, [], False),
        ("--backup names a hard link to the firmware file", ["--backup", hard, fw],
         NOTHING_WRITTEN, ["hard.kfs is the firmware file"], {fw: fw_bytes}, [], False),
        ("--backup names a link to another file", ["--backup", linked, "--drive", "0"],
         NOTHING_WRITTEN, ["linked.kfs exists"], {victim: b"a file the link points at"}, [],
         False),
        ("--backup names a dangling link", ["--backup", dangling, "--drive", "0"],
         NOTHING_WRITTEN, ["dangling.kfs exists"], {}, [r.path("nowhere.kfs")], False),
        ("--backup-dir missing under --yes", [fw, "--yes", "--backup-dir", r.path("absent")],
         NOTHING_WRITTEN, ["No such file or directory", "--no-backup writes without a backup",
                           "nothing was written"], {}, [r.path("absent")], False),
        ("--backup-dir with --no-backup", [fw, "--yes", "--no-backup", "--backup-dir", r.work],
         USAGE, ["--backup-dir and --no-backup exclude each other"], {}, [], False),
    ]
    if full:
        rows.append(("--backup-dir on a full disk under --yes",
                     [fw, "--yes", "--backup-dir", full], NOTHING_WRITTEN,
                     ["No space left on device", "nothing was written"], {}, [], False))
    else:
        print("skip: a full file system needs root (mount)")
    if read_only:
        rows.append(("--backup-dir on a read-only file system under --yes",
                     [fw, "--yes", "--backup-dir", read_only], NOTHING_WRITTEN,
                     ["Read-only file system", "nothing was written"], {}, [], False))
    # The update goes on with --no-backup, as it says.
    rows.append(("--no-backup writes", [fw, "--yes", "--no-backup"], OK, [], {}, [], True))
    try:
        for name, args, status, texts, kept, absent, wrote in rows:
            r.write("fw.kfs", fw_bytes)  # whatever an earlier row did to it
            p, trace = r.run([drive()], args)
            out = p.stdout + p.stderr
            r.check(f"{name}: exit status", p.returncode == status,
                    f"{p.returncode} != {status}\n{out}")
            for text in texts:
                r.check(f"{name}: prints {text!r}", text in out, out)
            for path, content in kept.items():
                with open(path, "rb") as f:
                    r.check(f"{name}: {os.path.basename(path)} kept", f.read() == content)
            for path in absent:
                r.check(f"{name}: {os.path.basename(path)} not made", not os.path.lexists(path))
            r.check(f"{name}: written", written(trace) == wrote, f"written is {written(trace)}")
            for folder in (full, read_only):
                if folder:
                    r.check(f"{name}: no partial file in {os.path.basename(folder)}",
                            os.listdir(folder) == [], os.listdir(folder))
    finally:
        for path in mounts:
            subprocess.run(["umount", path])


def automatic_backup_and_planted_links(r):
    """The automatic name is predictable: a dangling link planted under it (for every second of
    the next minute) is neither followed nor replaced; the backup takes the next free name."""
    fw = r.write("fw.kfs", container())
    folder = r.path("shared")
    os.makedirs(folder, exist_ok=True)
    planted = r.path("planted")
    os.makedirs(planted, exist_ok=True)
    now = time.time()
    for second in range(-2, 60):
        stamp = time.strftime("%Y%m%d-%H%M%S", time.localtime(now + second))
        name = f"KEMO_VRZ-3372BL_1.00_{stamp}.kfs"
        os.symlink(os.path.join(planted, name), os.path.join(folder, name))
    p, trace = r.run([drive()], [fw, "--yes", "--backup-dir", folder])
    out = p.stdout + p.stderr
    r.check("planted links: the update goes on", p.returncode == OK, out)
    r.check("planted links: nothing written through a link", os.listdir(planted) == [],
            os.listdir(planted))
    made = [line.split(": ", 1)[1] for line in p.stdout.splitlines()
            if line.startswith("Backup of the drive's flash: ")]
    r.check("planted links: a backup under the next free name",
            len(made) == 1 and made[0].endswith("-2.kfs") and os.path.isfile(made[0]) and
            not os.path.islink(made[0]), made)


def identity_table(r):
    """Finding 6: text from a drive, a file or a file name cannot rewrite the terminal."""
    esc_drive = drive(product="VRZ\x1b[2J\nX", revision="1.0\r")
    p, _ = r.run([esc_drive, drive()], ["--list"])
    r.check("escape in a drive's identity: one line per drive",
            len(p.stdout.splitlines()) == 2, p.stdout)
    r.check("escape in a drive's identity: shown as \\x1b", "\x1b" not in p.stdout and
            "\r" not in p.stdout and "product=VRZ\\x1b[2J\\x0aX" in p.stdout, repr(p.stdout))
    p, _ = r.run([esc_drive], ["--list", "--json"])
    try:
        listed = json.loads(p.stdout)
    except ValueError:
        listed = []
    r.check("escape in a drive's identity: JSON carries it",
            p.returncode == OK and listed and listed[0]["product"] == "VRZ\x1b[2J\nX", p.stdout)

    # A line break in a backup folder's name or in the version a drive reports stays inside
    # its line: no forged "All Completed!" line, no question split in two.
    fw = r.write("fw.kfs", container())
    folder = r.path("backups\nAll Completed!")
    os.makedirs(folder, exist_ok=True)
    p, _ = r.run([drive()], [fw, "--yes", "--backup-dir", folder])
    r.check("a line break in the backup folder's name: one list line",
            p.returncode == OK and "Backup of the drive's flash: " + r.path("backups\\x0aAll")
            in p.stdout and "\nAll Completed!/" not in p.stdout, p.stdout)
    p, _ = r.run([drive(revision="1.1\n")],
                 [r.write("same.kfs", container(revision="1.1\n")), "--no"])
    r.check("a line break in the drive's version: the question is one line",
            "The drive already has version 1.1\\x0a. Write it again? [y/N] no" in p.stderr,
            p.stderr)
    p, _ = r.run([drive(revision="2.0\n")], [fw, "--yes", "--no-backup"])
    r.check("a line break in a newer drive's version: the downgrade question is one line",
            "2.0\\x0a is newer than 1.10 !! Update the drive ? [y/N] yes" in p.stderr, p.stderr)

    name = r.write("fw\x1b]0;owned\x07.kfs", container(model="KEMO    VRZ\x1b[8m"))
    p, _ = r.run([drive()], [name, "--no"])
    out = p.stdout + p.stderr
    r.check("escapes in a file name and a firmware identity: none reaches the terminal",
            "\x1b" not in out and "\x07" not in out, repr(out))
    r.check("escapes in a file name and a firmware identity: made visible",
            "Firmware " + r.path("fw\\x1b]0;owned\\x07.kfs") in out and "VRZ\\x1b[8m" in out,
            out)


def special_files_table(r):
    """Finding 7: only regular files are read, each with a size cap."""
    fw = r.write("fw.kfs", container())
    fifo = r.path("fw.fifo")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    rows = [
        ("a FIFO as the firmware file", [fifo, "--yes"], "a FIFO, not a regular file"),
        ("/dev/zero as --parameters", [fw, "--yes", "--parameters", "/dev/zero"],
         "a device, not a regular file"),
        ("/dev/zero as --embedded", ["--yes", "--embedded", "/dev/zero"],
         "a device, not a regular file"),
        ("a folder as the firmware file", [r.work, "--yes"], "a folder, not a regular file"),
    ]
    for name, args, text in rows:
        try:
            p, trace = r.run([drive()], args, timeout=20)
        except subprocess.TimeoutExpired:
            r.check(f"{name}: ends", False, "still running after 20 s")
            continue
        r.check(f"{name}: status 3", p.returncode == NOTHING_WRITTEN, p.returncode)
        r.check(f"{name}: says why", text in p.stderr, p.stderr)
        r.check(f"{name}: nothing written", not written(trace))
    try:
        p = subprocess.run([r.kfsflash, "--emulate", "/dev/zero", "--list"], capture_output=True,
                           text=True, timeout=20)
        r.check("/dev/zero as --emulate: status 3 with the reason",
                p.returncode == NOTHING_WRITTEN and "a device, not a regular file" in p.stderr,
                f"{p.returncode} {p.stderr}")
    except subprocess.TimeoutExpired:
        r.check("/dev/zero as --emulate: ends", False, "still running after 20 s")


def interrupted_extraction(r):
    """Finding 8: Ctrl-C while a zip member is being extracted leaves no temporary file. The
    signal goes when the program holds the temporary file open (seen in /proc)."""
    tmp = r.path("tmp")
    os.makedirs(tmp, exist_ok=True)
    archive = r.path("large.zip")
    if not os.path.exists(archive):
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("fw.kfs", b"KE" + bytes(60 * 1024 * 1024))
    desc = r.write("drives.json", json.dumps({"drives": [drive()]}).encode())
    p = subprocess.Popen([r.kfsflash, "--emulate", desc, archive, "--yes"],
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, env=dict(os.environ, TMPDIR=tmp))
    caught = False
    while p.poll() is None and not caught:
        try:
            for fd in os.listdir(f"/proc/{p.pid}/fd"):
                target = os.readlink(f"/proc/{p.pid}/fd/{fd}")
                if target.startswith(os.path.join(tmp, "kfsflash-")):
                    os.kill(p.pid, signal.SIGINT)
                    caught = True
                    break
        except OSError:
            pass
    p.communicate(timeout=60)
    r.check("Ctrl-C during an extraction: caught while extracting", caught,
            "the extraction ended before the signal could be sent")
    r.check("Ctrl-C during an extraction: no temporary file left", os.listdir(tmp) == [],
            os.listdir(tmp))


def smaller_table(r):
    """Finding 10: the smaller slips."""
    fw_bytes = container()
    fw = r.write("fw.kfs", fw_bytes)
    with zipfile.ZipFile(r.path("fw.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("readme.txt", "first member")
        z.writestr("KEMO_1.10.kfs", fw_bytes)
    trace_link = r.path("trace-link.txt")
    if os.path.lexists(trace_link):
        os.remove(trace_link)
    victim = r.write("trace-victim.txt", b"someone's file")
    earlier = r.write("earlier.kfs", b"an earlier backup")
    os.symlink(victim, trace_link)

    p, trace = r.run([drive(faults=[{"never_ready": True}])], [fw, "--yes"])
    r.check("never ready: status 3", p.returncode == NOTHING_WRITTEN, p.stdout + p.stderr)
    r.check("never ready: says so", "did not become ready" in p.stderr and
            "nothing was written" in p.stderr, p.stderr)
    r.check("never ready: nothing written, no backup",
            not written(trace) and not any(t.startswith("3c") or t.startswith("e8")
                                           for t in trace) and
            not [f for f in os.listdir(r.work) if f.startswith("KEMO_")], trace[-3:])

    desc = r.write("drives.json", json.dumps({"drives": [drive()]}).encode())
    rows = [
        ("--trace names the firmware file", ["--emulate", desc, "--trace", fw, fw, "--yes"],
         USAGE, "--trace names " + fw),
        ("--trace names the description", ["--emulate", desc, "--trace", desc, fw, "--yes"],
         USAGE, "--trace names " + desc),
        ("--trace is a link", ["--emulate", desc, "--trace", trace_link, fw, "--yes"], USAGE,
         "a link (the trace never follows one)"),
        # An earlier backup would be emptied by the trace before the backup is refused.
        ("--trace names the --backup file",
         ["--emulate", desc, "--trace", earlier, "--backup", "./earlier.kfs", "--drive", "0"],
         USAGE, "--trace names " + earlier + ", the --backup file"),
    ]
    for name, args, status, text in rows:
        p = subprocess.run([r.kfsflash] + args, capture_output=True, text=True, cwd=r.work,
                           stdin=subprocess.DEVNULL, timeout=120)
        r.check(f"{name}: status", p.returncode == status, f"{p.returncode} {p.stderr}")
        r.check(f"{name}: says why", text in p.stderr, p.stderr)
        r.check(f"{name}: the firmware, the description, the linked file and the earlier "
                "backup kept",
                open(fw, "rb").read() == fw_bytes and os.path.getsize(desc) > 0 and
                open(victim, "rb").read() == b"someone's file" and
                open(earlier, "rb").read() == b"an earlier backup")

    # A trace that cannot be written is said; the status stays the drive's.
    p = subprocess.run([r.kfsflash, "--emulate", desc, "--trace", "/dev/full", fw, "--yes",
                        "--no-backup"], capture_output=True, text=True, cwd=r.work,
                       stdin=subprocess.DEVNULL, timeout=120)
    r.check("--trace /dev/full: written, and the lost trace said",
            p.returncode == OK and "the trace could not be written to /dev/full: No space left "
            "on device" in p.stderr, f"{p.returncode} {p.stderr[-500:]}")

    p, _ = r.run([drive()], [r.path("fw.zip"), "--yes", "--no-backup"])
    r.check("zip: the member used is named", "zip member   KEMO_1.10.kfs" in p.stdout, p.stdout)

    # Unknown keys in a description are refused with the key named.
    for name, d, key in (("a misspelt key", dict(drive(), famly="mtk5"), "famly"),
                         ("a fault key outside faults", dict(drive(), never_ready=True),
                          "never_ready"),
                         ("an unknown key in a fault",
                          drive(faults=[{"never_ready": True, "form": 3}]), "form")):
        p, _ = r.run([d], ["--list"])
        r.check(f"description with {name}: refused", p.returncode == USAGE and
                f'unknown key "{key}"' in p.stderr, f"{p.returncode} {p.stderr}")

    # Standard output closed from the start (kfsflash >&-): the files the program opens do not
    # take its number, so no text lands in the trace or the backup. (Standard error stays open:
    # the sanitizers of the debug build write there before the program starts.)
    plain = r.write("plain-drive.json", json.dumps({"drives": [drive()]}).encode())
    backups = r.path("closed-output")
    os.makedirs(backups, exist_ok=True)
    trace_file = r.path("closed-trace.txt")
    p = subprocess.run([r.kfsflash, "--emulate", plain, "--trace", trace_file, fw, "--yes",
                        "--backup-dir", backups], stdin=subprocess.DEVNULL, cwd=r.work,
                       stderr=subprocess.DEVNULL, timeout=120, preexec_fn=lambda: os.close(1))
    with open(trace_file, "rb") as f:
        traced = f.read()
    made = [os.path.join(backups, n) for n in os.listdir(backups)]
    r.check("output closed from the start: written and verified", p.returncode == OK,
            p.returncode)
    r.check("output closed from the start: the trace holds commands only",
            b"Drive emulated" not in traced and b"progress" not in traced, traced[-300:])
    r.check("output closed from the start: the backup holds no text",
            len(made) == 1 and b"Drive emulated" not in open(made[0], "rb").read(), made)

    # More devices than the table takes: the rest is counted.
    dev = r.path("dev")
    os.makedirs(dev, exist_ok=True)
    for n in range(22):
        open(os.path.join(dev, f"sr{n}"), "wb").close()
    p = subprocess.run([r.kfsflash, "--list"], capture_output=True, text=True,
                       env=dict(os.environ, KFSFLASH_DEV_DIR=dev), timeout=60)
    r.check("22 devices: the two past the 20th are counted",
            "2 more devices were left out: kfsflash takes at most 20 devices" in p.stderr,
            p.stdout + p.stderr)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin-dir", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--only", help="run only the tables whose name holds this text")
    args = parser.parse_args()
    tables = [mid_write_table, backup_table, automatic_backup_and_planted_links, identity_table,
              special_files_table, interrupted_extraction, smaller_table]
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, stat.S_IRWXU | stat.S_IRGRP | stat.S_IXGRP | stat.S_IROTH | stat.S_IXOTH)
        r = Runner(args.bin_dir, work)
        for table in tables:
            if args.only and args.only not in table.__name__:
                continue
            table(r)
        if r.failures:
            print(f"{r.failures} checks failed")
            sys.exit(1)
        print("ok")


if __name__ == "__main__":
    main()
