#!/usr/bin/env python3
"""End-to-end scenarios of kfsflash.exe under Wine.

The program runs in Wine's virtual desktop on an Xvfb display of its own; e2e_driver.exe, in the
same desktop, starts it, presses its buttons, chooses its menu commands, reads its controls and
answers its message boxes and file dialogs. Drives come from the emulator's WNASPI32.DLL under
Wine's Windows 98 mode; Wine's default version (NT family) is used for the copy that must find no
drive. Each scenario is a table of steps (see Step below); screenshots of the main states are kept
under WORK/shots.

  run_e2e.py --program kfsflash.exe --driver e2e_driver.exe --dll WNASPI32.DLL --merge kfsmerge.exe
             --source-dir REPO --work DIR (--prepare | --group NAME [--scenario NAME])
"""
import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kfs_fixtures  # noqa: E402

TITLE = "kfsflash"  # the program file name cut at its first ".", first character kept
CAPTION = "Kemo Flash KFS3 Utility v.5.11 Dec 22 2006"
NOTICE = ["Important Notice:", "You must have the Administrator privilege",
          " to execute this utility.", "Do not restart or shutdown your system",
          " until it prompts you to do so.", "Violating the aformentioned may damage",
          " your drive!"]
RESTART_QUESTION = "After updating, the system must be restarted.\nClick Yes to reboot your system."
AUTO_INSERT_QUESTION = ("Because of the distinction of Windows 95/98/ME operating system, it is "
                        "necessary to reboot before updating. After rebooting, execute again to "
                        "complete the updating process.\nAre you sure to continue?")
ACTIVATE_QUESTION = "Would you like to activate the auto-insert notification ?"
MODEL = "KEMO    VRZ-3372BL      "
MODEL_B = "KEMO    VRZ-3350A       "
# The device key of the auto-insert flag: 24 model characters with blanks as "_", then the first
# character of the version.
AUTO_INSERT_KEY = "Enum\\SCSI\\" + MODEL.replace(" ", "_") + "1\\ROOT&0000"


# ---- firmware fixtures ---------------------------------------------------------------------------

def firmware_image(model, revision, hardware_id="K1", date_code="061122", size=0x10000):
    """An image with one INQUIRY block at 0x1000 carrying the identity. One bank: the drive
    checks the trigger's check sum against everything up to the end of the last bank written,
    and a bank before the last one would leave drive bytes of its own in that range."""
    image = kfs_fixtures.pattern(size)
    kfs_fixtures.put_inquiry(image, 0x1000, model, revision, hardware_id, date_code)
    for bank in range(0, size, 0x10000):  # each 64 KB bank holds BANK_DATA bytes, then zeros
        image[bank + BANK_DATA:bank + 0x10000] = bytes(0x10000 - BANK_DATA)
    return bytes(image)


BANK_DATA = 0xFF00  # a bank write carries at most 0xFFFE bytes


def kfs3(image, atapi_type=1, bank=0x10000):
    """A plain (unscrambled) KFS3 container with a 64 KB bank stride, BANK_DATA bytes a bank;
    header check sum = byte sum of the image."""
    banks = len(image) // bank
    # The bank tails that no bank write reaches are reserved: verification leaves them out.
    reserved = [(at + BANK_DATA, bank - BANK_DATA) for at in range(0, len(image), bank)]
    return kfs_fixtures.encode_kfs3(image, bank, atapi_type, bank_sizes=[BANK_DATA] * banks,
                                    reserved=reserved, ide=1,
                                    checksum=kfs_fixtures.byte_sum(image))


def check_sum_text(image):
    return "%04X" % (sum(image) & 0xFFFF)


def drive(product, revision, hardware_id="K1", date_code="061001", **extra):
    d = {"vendor": "KEMO", "product": product, "revision": revision, "hardware_id": hardware_id,
         "date_code": date_code, "family": "a0", "flash_size": 0x200000}
    d.update(extra)
    return d


WRITE_FAULT = [{"command": "5a:a0", "nth": 1}]  # the bank write fails


# ---- the driver --------------------------------------------------------------------------------

def escape(text):
    return (str(text).replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r")
            .replace("\n", "\\n"))


def unescape(text):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = {"t": "\t", "r": "\r", "n": "\n"}.get(text[i], text[i])
        out.append(c)
        i += 1
    return "".join(out)


class DriverError(Exception):
    pass


class Driver:
    def __init__(self, exe, env):
        self.proc = subprocess.Popen([WINE, exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env, text=True,
                                     encoding="latin-1")

    def __call__(self, *words):
        self.proc.stdin.write("\t".join(escape(w) for w in words) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise DriverError("the driver ended")
        fields = [unescape(f) for f in line.rstrip("\r\n").split("\t")]
        return fields[0] == "ok", fields[1:]

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()


# ---- steps -------------------------------------------------------------------------------------

class Failure(Exception):
    pass


class Run:
    """What a scenario's steps work on: the driver, the control IDs, the files and the program
    being driven."""

    def __init__(self, driver, ids, work, shots, display, programs):
        self.driver, self.ids, self.work, self.shots = driver, ids, work, shots
        self.display, self.programs = display, programs
        self.pid = None

    def id(self, name):
        return str(self.ids[name])

    def call(self, *words):
        ok, values = self.driver(*words)
        if not ok:
            raise Failure("%s: %s" % (" ".join(map(str, words)), " ".join(values)))
        return values


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# Each step is a function of the run; the scenario tables below are lists of them.

def start(program, env=None):
    def step(run):
        for name, value in (env or {}).items():
            run.call("env", name, value)
        run.pid = run.call("start", win_path(run.programs[program]), win_path(run.work))[0]
    step.__name__ = "start %s" % program
    return step


def main_window(caption=CAPTION):
    def step(run):
        got = run.call("main", run.pid, "30000")[0]
        if got != caption:
            raise Failure("caption %r, expected %r" % (got, caption))
    step.__name__ = "main window"
    return step


def settled(what, judge, settle=5.0):
    """Runs `judge` (nothing when content, else the problem) until it is content or `settle`
    seconds pass, and raises the last problem.

    Clicks and menu commands are posted, and the program may still be working through an
    earlier one when the driver reads (a read is a sent message, which overtakes posted ones),
    so a reading is repeated until it matches."""
    deadline = time.monotonic() + settle
    while True:
        problem = judge()
        if not problem:
            return
        if time.monotonic() >= deadline:
            raise Failure("%s: %s" % (what, problem))
        time.sleep(0.05)


def expect(command, name, want, *extra):
    """Runs a reading command on a control and compares its reply values (a list), its first
    value (a text) or passes them to a check function."""
    def problem_with(got):
        if callable(want):
            problem = want(got)
            return "%s (got %r)" % (problem, got) if problem else None
        if isinstance(want, list):
            return None if got == want else "got %r, expected %r" % (got, want)
        return None if got and got[0] == want else "got %r, expected %r" % (got, want)

    def step(run):
        args = [command] + ([run.id(name)] if name else []) + list(extra)
        settled("%s %s" % (command, name), lambda: problem_with(run.call(*args)))
    step.__name__ = "expect %s %s" % (command, name)
    return step


def lines(name, want):
    """The list box's or drop-down list's lines (after count and selection)."""
    kind = "combo" if name == "SelDevice" else "list"
    return expect(kind, name, lambda got: None if got[2:] == want else "lines %r" % want)


def click(name):
    def step(run):
        run.call("click", run.id(name))
    step.__name__ = "click %s" % name
    return step


def menu(position):
    def step(run):
        run.call("menu", str(run.ids["menu"] + position))
    step.__name__ = "menu %d" % position
    return step


def select(index):
    def step(run):
        run.call("select", run.id("SelDevice"), str(index))
    step.__name__ = "select %d" % index
    return step


def box(caption, text, answer="ok", timeout=60000):
    def step(run):
        got = run.call("box", str(timeout))
        if got != [caption, text]:
            raise Failure("box %r, expected %r" % (got, [caption, text]))
        run.call("answer", answer)
    step.__name__ = "box %r" % text[:40]
    return step


def no_box(ms=400):
    def step(run):
        ok, got = run.driver("nobox", str(ms))
        if not ok:
            raise Failure("unexpected box %r" % got)
    step.__name__ = "no box"
    return step


def open_file(path):
    """Fills the open or save dialog with a file of the work directory (None: cancel)."""
    def step(run):
        if path is None:
            run.call("filecancel", "20000")
        else:
            run.call("file", win_path(os.path.join(run.work, path)), "20000")
    step.__name__ = "file %s" % path
    return step


def progress_rises(minimum_steps=3, timeout=120000):
    """Watches the progress bar until the next message box: it must take several increasing
    values."""
    def step(run):
        seen = [int(v) for v in run.call("watch", run.id("ProgressBar1"), str(timeout))]
        rises = sum(1 for a, b in zip(seen, seen[1:]) if b > a)
        if rises < minimum_steps:
            raise Failure("progress positions %r rise only %d times" % (seen, rises))
    step.__name__ = "progress rises"
    return step


def shot(name):
    def step(run):
        os.makedirs(run.shots, exist_ok=True)
        subprocess.run(["import", "-display", run.display, "-window", "root",
                        os.path.join(run.shots, name + ".png")], timeout=30, check=False)
    step.__name__ = "shot %s" % name
    return step


def exits(code=None, timeout=30000):
    def step(run):
        got = run.call("exited", run.pid, str(timeout))
        if code is not None and got[0] != str(code):
            raise Failure("exit code %s, expected %s" % (got[0], code))
    step.__name__ = "exits"
    return step


def close():
    return [click("BitBtn4"), exits()]


def check(what, function):
    """A check without side effects, such as one on the files the run left: `function` returns
    None or the problem."""
    def step(run):
        settled(what, lambda: function(run))
    step.__name__ = what
    return step


def do(what, function):
    """A step of the test's own, run once."""
    def step(run):
        function(run)
    step.__name__ = what
    return step


def registry(key, name, kind, value):
    def step(run):
        run.call("regset", key, name, kind, value)
    step.__name__ = "registry %s" % name
    return step


def registry_is(key, name, want):
    def judge(run):
        ok, got = run.driver("regget", key, name)
        value = got[0] if ok else None
        return None if value == want else "is %r, expected %r" % (value, want)

    def step(run):
        settled("registry %s %s" % (key, name), lambda: judge(run))
    step.__name__ = "registry %s is %s" % (name, want)
    return step


def eq(want):
    return lambda got: None if got == want else "expected %r" % want


def client_size(width, height):
    return expect("client", None, lambda got: None if got[:2] == [str(width), str(height)]
                  else "client area %sx%s, expected %dx%d" % (got[0], got[1], width, height))


# ---- scenarios -----------------------------------------------------------------------------------

def files(work):
    """The firmware files the scenarios load, written into the work directory."""
    old = firmware_image(MODEL, "0.90")
    new = firmware_image(MODEL, "1.10")
    other = firmware_image(MODEL, "1.20", date_code="070101")
    made = {"old.kfs": kfs3(old), "new.kfs": kfs3(new)}
    for name, content in made.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    # Two members: the second one is the firmware that counts.
    with zipfile.ZipFile(os.path.join(work, "two.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("first.kfs", kfs3(new))
        z.writestr("second.kfs", kfs3(other))
    with open(os.path.join(work, "bare-philips.bin"), "wb") as f:
        f.write(b"Philips DVD".ljust(36, b"\0") + bytes(1000) + b"\0\0\0\0")
    return {"old": old, "new": new, "other": other}


def entry(model, version, date):
    return "%s %s %s" % (model, version, date)


def utility_scenarios(images, drives_file):
    idle = [expect("enabled", "BitBtn2", "1"), expect("enabled", "BitBtn4", "1")]
    plain = drives_file("plain", [drive("VRZ-3372BL", "1.00")])
    return {
        # Start-up, both loads, the check sum and the layout of the flash utility role.
        "startup-and-load": [
            start("utility", {"KFS_EMULATOR_DRIVES": drives_file("two", [
                drive("VRZ-3372BL", "1.00"), drive("VRZ-3350A", "1.05", "A3", "050301")])}),
            main_window(),
            lines("ListBox1", NOTICE),
            lines("SelDevice", [entry(MODEL, "1.00", "061001"), entry(MODEL_B, "1.05", "050301")]),
            expect("text", "StatusBar1", entry(MODEL, "1.00", "061001")[:36]),
            expect("enabled", "BitBtn2", "0"),
            expect("checked", "check_verify", "0"),
            client_size(386, 554),
            expect("rect", "ProgressBar1", ["256", "536", "129", "16"]),
            expect("visible", "Panel2", "1"),
            shot("utility-startup"),
            # A bare Philips-form file is taken for an archive, which it is not.
            click("BitBtn1"), open_file("bare-philips.bin"), box("Error", "Not Valid KFS !"),
            expect("enabled", "BitBtn2", "0"),
            click("BitBtn1"), open_file("two.zip"),
            expect("text", "Edit1", entry(MODEL, "1.20", "070101")),
            expect("text", "Edit2", check_sum_text(images["other"])),
            expect("enabled", "BitBtn2", "1"),
            check("no temp.kfs left", lambda run: "temp.kfs left behind" if os.path.exists(
                os.path.join(run.work, "temp.kfs")) else None),
            shot("utility-loaded-zip"),
            click("BitBtn1"), open_file("new.kfs"),
            expect("text", "Edit1", entry(MODEL, "1.10", "061122")),
            expect("text", "Edit2", check_sum_text(images["new"])),
            # Cancelling the dialog keeps what was loaded.
            click("BitBtn1"), open_file(None), no_box(),
            expect("text", "Edit2", check_sum_text(images["new"])),
            expect("enabled", "BitBtn2", "1"),
        ] + close(),
        # The whole update with verification: list lines, a rising bar, the new entry, the
        # auto-insert question afterwards (its flag written), the restart question cancelled.
        "update": [
            start("utility", {"KFS_EMULATOR_DRIVES": plain}),
            registry(AUTO_INSERT_KEY, "RevisionLevel", "sz", "1.00"),
            registry(AUTO_INSERT_KEY, "AutoInsertNotification", "bin", "00"),
            main_window(),
            click("BitBtn1"), open_file("new.kfs"),
            click("check_verify"), expect("checked", "check_verify", "1"),
            click("BitBtn2"),
            progress_rises(),
            box("Check", ACTIVATE_QUESTION, "ok"),
            lines("ListBox1", ["Updating", "WARNING !!!", "Please wait for at least one minute!",
                               "Flashing is processing...", "Flashing finished !",
                               "Verifying will not be executed until the tray is closed",
                               " without any media inside !", "Read ROM Data",
                               "Checksum verifying", "Verification finished", "All Completed!"]),
            lines("SelDevice", [entry(MODEL, "1.10", "061122")]),
            expect("text", "StatusBar1", entry(MODEL, "1.10", "061122")[:36]),
            shot("utility-updated"),
            box("Check", RESTART_QUESTION, "cancel"),
            registry_is(AUTO_INSERT_KEY, "AutoInsertNotification", "01"),
        ] + idle + close(),
        # The questions before flashing: the downgrade question both ways, the auto-insert
        # question of Windows 98 (never answered OK: that restarts Windows), the tray prompt.
        "questions": [
            start("utility", {"KFS_EMULATOR_DRIVES": drives_file("disc", [
                drive("VRZ-3372BL", "1.00", medium=True)])}),
            registry(AUTO_INSERT_KEY, "RevisionLevel", "sz", "1.00"),
            registry(AUTO_INSERT_KEY, "AutoInsertNotification", "bin", "01"),
            main_window(),
            click("BitBtn1"), open_file("old.kfs"),
            click("BitBtn2"),
            box("Warning!", "1.00 is newer than 0.90 !! Update the drive ?", "cancel"),
            no_box(), ] + idle + [
            click("BitBtn2"),
            box("Warning!", "1.00 is newer than 0.90 !! Update the drive ?", "ok"),
            box("Check", AUTO_INSERT_QUESTION, "cancel"), no_box(),
            registry_is(AUTO_INSERT_KEY, "AutoInsertNotification", "01"),
            registry(AUTO_INSERT_KEY, "AutoInsertNotification", "bin", "00"),
            click("BitBtn2"),
            box("Warning!", "1.00 is newer than 0.90 !! Update the drive ?", "ok"),
            box("Check", "Please remove your disc from the tray and click OK to continue !",
                "cancel"),
            lines("ListBox1", ["Updating will not be executed until the tray is closed",
                               " without any media inside !"]),
            no_box(),
        ] + idle + close(),
        # A flash procedure's failure shows its own text in the flash utility role.
        "failing-flash": [
            start("utility", {"KFS_EMULATOR_DRIVES": drives_file("fault", [
                drive("VRZ-3372BL", "1.00", faults=WRITE_FAULT)])}),
            main_window(),
            click("BitBtn1"), open_file("new.kfs"),
            click("BitBtn2"),
            box("Error", "Write Buffer Fail !"),
            no_box(),
            lines("SelDevice", [entry(MODEL, "1.00", "061001")]),
        ] + idle + close(),
    }


def menu_scenarios(drives_file):
    plain = drives_file("plain", [drive("VRZ-3372BL", "1.00")])
    info = lambda text: box(TITLE, text)  # noqa: E731
    none = [0 + 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15]  # commands without an action

    def default_file(run):
        path = os.path.join(run.work, "default.ini")
        if not os.path.exists(path):
            return "not written"
        data = open(path, "rb").read()
        if len(data) != 713 or not data.startswith(b"[Main]\r\nUpdater=0\r\n"):
            return "%d bytes: %r..." % (len(data), data[:40])
        return None

    def nothing_new(run):
        extra = set(os.listdir(run.work)) - set(run.before)
        return "files written: %s" % sorted(extra) if extra else None

    def remember(run):
        run.before = os.listdir(run.work)

    return {
        "menu-commands": [
            start("utility", {"KFS_EMULATOR_DRIVES": plain}),
            main_window(),
            menu(0), info("Silent now"),
            menu(0), info("Not Silent now"),
            menu(8), info("Not Erase Unused Blocks now"),
            menu(8), info("Erase Unused Blocks now"),
            menu(7), info("Erase Resrved Blocks now"),
            menu(7), info("Not Erase Reserved Blocks now"),
            menu(6), info("Default Drive Index : -1"),
        ] + [s for p in none for s in (menu(p), no_box(300))] + [
            menu(9), open_file("default.ini"), no_box(),
            check("default parameter file", default_file),
            do("listing", remember),
            menu(9), open_file(None), no_box(),
            check("cancel writes nothing", nothing_new),
            click("BitBtn1"), open_file("new.kfs"),
            menu(6), info("Selected Drive Index : 0"),
        ] + close(),
    }


def updater_scenarios(drives_file):
    two = drives_file("updater", [
        drive("VRZ-3350A", "1.05", "A3", "050301", faults=WRITE_FAULT),
        drive("VRZ-3372BL", "1.00")])
    return {
        # Two containers for two models; the first drive is matched to the second container.
        "two-containers": [
            start("updater", {"KFS_EMULATOR_DRIVES": two}),
            main_window(),
            client_size(386, 554 - 113),
            expect("visible", "Panel2", "0"),
            expect("rect", "ListBox1", lambda got: None if got[1] == str(257 - 113) else "top"),
            expect("text", "Edit1", entry(MODEL_B, "1.06", "")),  # no date code in this role
            expect("enabled", "BitBtn2", "1"),
            shot("updater-startup"),
            click("BitBtn2"),
            box("Error", "Flash Fail!"),
            no_box(),
            expect("enabled", "BitBtn2", "1"),
        ] + close(),
        "corrupt": [
            start("corrupt", {"KFS_EMULATOR_DRIVES": two}),
            box("Error", "Updater is corrupt !"),
            main_window(),
            expect("enabled", "BitBtn2", "0"),
            expect("enabled", "SelDevice", "0"),
            lines("ListBox1", []),
            shot("updater-corrupt"),
        ] + close(),
    }


def instance_scenarios(drives_file):
    plain = drives_file("plain", [drive("VRZ-3372BL", "1.00")])

    def second_copy(run):
        first = run.pid
        run.call("minimize")
        second = run.call("start", win_path(run.programs["utility"]), win_path(run.work))[0]
        code = run.call("exited", second, "30000")[0]
        if run.call("windows", "0", "TMainForm")[0] != "1":
            raise Failure("more than one main window")
        run.pid = first
        for _ in range(40):
            iconic, foreground = run.call("state")
            if iconic == "0" and foreground == "1":
                return
            time.sleep(0.1)
        raise Failure("first copy not brought to the front (iconic %s, foreground %s, exit %s)"
                      % (iconic, foreground, code))

    return {
        "second-copy": [
            start("utility", {"KFS_EMULATOR_DRIVES": plain}),
            main_window(),
            do("second copy", second_copy),
            main_window(),
            shot("instance-first-in-front"),
        ] + close(),
    }


def nt_scenarios(drives_file):
    plain = drives_file("plain", [drive("VRZ-3372BL", "1.00")])
    return {
        "no-drive": [
            start("nt", {"KFS_EMULATOR_DRIVES": plain}),
            box("Error", "No Drive found !"),
            exits(),
        ],
    }


# ---- the Wine side -------------------------------------------------------------------------------

def control_ids(source_dir):
    """Control IDs and the first menu command ID from the window's layout table."""
    text = open(os.path.join(source_dir, "app", "win32", "layout.h")).read()
    ids = {m.group(1): int(m.group(2))
           for m in re.finditer(r'\{"(\w+)",\s*Kind::\w+,\s*(\d+),', text)}
    ids["menu"] = int(re.search(r"kMenuFirstId\s*=\s*(\d+)", text).group(1))
    return ids


# The Wine loader and prefix architecture of the build under test: 32-bit Wine for the i686
# build; the x86_64 build sets the 64-bit loader and win64 (see scripts/wine-arch.sh).
WINE = os.environ.get("KFS_WINE", "wine")
WINEARCH = os.environ.get("WINEARCH", "win32")


def wine_env(prefix, display):
    env = dict(os.environ)
    env.update(WINEPREFIX=prefix, WINEARCH=WINEARCH, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=", DISPLAY=display)
    return env


def install_dll(dll, prefix):
    """Puts the emulated WNASPI32.DLL where Windows looks for a DLL of its machine: a 64-bit
    prefix keeps 64-bit DLLs in system32 and 32-bit ones in syswow64."""
    with open(dll, "rb") as f:
        head = f.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    machine = struct.unpack_from("<H", head, pe + 4)[0]
    system = os.path.join(prefix, "drive_c", "windows", "system32")
    wow64 = os.path.join(prefix, "drive_c", "windows", "syswow64")
    if machine == 0x14C and os.path.isdir(wow64):
        system = wow64
    shutil.copy(dll, os.path.join(system, "WNASPI32.DLL"))


def display_in_use(n):
    """A display is taken while the process named in its lock file lives. The lock and socket
    of a server that died without cleaning up would otherwise block the number for good."""
    lock = "/tmp/.X%d-lock" % n
    try:
        with open(lock) as f:
            pid = int(f.read().strip() or 0)
    except FileNotFoundError:
        return False
    except (OSError, ValueError):
        return True
    if pid > 0:
        try:
            os.kill(pid, 0)
            return True
        except PermissionError:
            return True
        except ProcessLookupError:
            pass
    for stale in (lock, "/tmp/.X11-unix/X%d" % n):
        try:
            os.remove(stale)
        except OSError:
            return True
    return False


class Xvfb:
    """An own X server; stopped with SIGTERM, so that it removes its lock and socket."""

    def __init__(self, n):
        self.proc = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24",
                                      "-nolisten", "tcp"], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def kill(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def start_xvfb():
    for n in range(140, 200):
        if display_in_use(n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
            continue
        xvfb = Xvfb(n)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                return xvfb, ":%d" % n
            if xvfb.proc.poll() is not None:
                break
            time.sleep(0.05)
        xvfb.kill()
    raise RuntimeError("no free X display")


def wine(env, *args, timeout=120):
    return subprocess.run(["timeout", str(timeout), WINE] + list(args), env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=timeout + 30)


def prepare(args, prefix):
    """The prefix: Windows 98 with the emulated WNASPI32.DLL (the set-up the ASPI test uses),
    every program in one virtual desktop, Wine's default version for the NT copy."""
    xvfb, display = start_xvfb()
    env = wine_env(prefix, display)
    try:
        setup = os.path.join(args.source_dir, "scripts", "wine-win98-prefix.sh")
        subprocess.run(["timeout", "600", setup, prefix, args.dll], env=env, check=True,
                       timeout=700)
        reg = os.path.join(os.path.dirname(prefix), "e2e-desktop.reg")
        with open(reg, "w") as f:
            f.write("REGEDIT4\r\n\r\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\r\n\"Desktop\"=\"kfs\"\r\n\r\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\r\n"
                    "\"kfs\"=\"1024x768\"\r\n\r\n"
                    "[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\kfsnt.exe]\r\n"
                    "\"Version\"=\"win10\"\r\n")
        if wine(env, "regedit", "/S", win_path(reg)).returncode != 0:
            print("regedit failed")
            return 1
    finally:
        subprocess.run(["timeout", "60", "wineserver", "-k"], env=env, check=False)
        xvfb.kill()
    return 0


def make_programs(args, work, env):
    """The copies the groups start: the program itself (flash utility role), an updater made
    with kfsmerge, one whose containers do not decode, and one run in Wine's default version."""
    programs = {"utility": args.program}
    nt = os.path.join(work, "kfsnt.exe")
    shutil.copy(args.program, nt)
    programs["nt"] = nt
    a = kfs3(firmware_image(MODEL, "1.10"))
    b = kfs3(firmware_image(MODEL_B, "1.06", "A3"))
    for name, content in (("a.kfs", a), ("b.kfs", b)):
        with open(os.path.join(work, name), "wb") as f:
            f.write(content)
    updater = os.path.join(work, "updater.exe")
    merge = subprocess.run(["timeout", "120", WINE, args.merge, win_path(args.program), "-o",
                            win_path(updater), "--kfs1", "a.kfs", "--kfs2", "b.kfs"],
                           cwd=work, env=env, capture_output=True, text=True, timeout=150)
    if merge.returncode != 0:
        raise RuntimeError("kfsmerge: %s %s" % (merge.stdout, merge.stderr))
    programs["updater"] = updater
    # kfsmerge refuses containers that do not decode, so the corrupt copy is patched afterwards:
    # each container loses its magic.
    data = bytearray(open(updater, "rb").read())
    for content in (a, b):
        at = data.find(content)
        if at < 0:
            raise RuntimeError("container not found in the updater copy")
        data[at:at + 4] = b"XXXX"
    corrupt = os.path.join(work, "corrupt.exe")
    with open(corrupt, "wb") as f:
        f.write(data)
    programs["corrupt"] = corrupt
    return programs


def main_job_scenarios(images, drives_file):
    """The README's main job: one whole update in the flash utility role, its message list
    printed."""
    def show_list(run):
        values = run.call("list", run.id("ListBox1"))
        print("message list:")
        for line in values[2:]:
            print("  " + line)
        print("drive entry:", run.call("combo", run.id("SelDevice"))[2:])
        print("status bar:", run.call("text", run.id("StatusBar1"))[0])
    plain = drives_file("plain", [drive("VRZ-3372BL", "1.00")])
    return {"main-job": [
        start("utility", {"KFS_EMULATOR_DRIVES": plain}),
        main_window(), shot("main-job-1-started"),
        click("BitBtn1"), open_file("new.kfs"), shot("main-job-2-loaded"),
        click("check_verify"), click("BitBtn2"), progress_rises(),
        box("Check", ACTIVATE_QUESTION, "cancel"),
        shot("main-job-3-updated"), do("message list", show_list),
        box("Check", RESTART_QUESTION, "cancel"),
    ] + close()}


GROUPS = {
    "utility": lambda images, df: utility_scenarios(images, df),
    "menu": lambda images, df: menu_scenarios(df),
    "updater": lambda images, df: updater_scenarios(df),
    "instance": lambda images, df: instance_scenarios(df),
    "nt": lambda images, df: nt_scenarios(df),
    "mainjob": main_job_scenarios,
}


def run_group(args, prefix):
    work = os.path.join(args.work, "work", args.group)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    shots = os.path.join(args.work, "shots")
    images = files(work)
    programs = make_programs(args, work, wine_env(prefix, os.environ.get("DISPLAY", "")))
    install_dll(args.dll, prefix)

    def drives_file(name, drives):
        path = os.path.join(work, "drives-%s.json" % name)
        with open(path, "w") as f:
            json.dump({"drives": drives}, f)
        return win_path(path)

    scenarios = GROUPS[args.group](images, drives_file)
    if args.scenario:
        scenarios = {args.scenario: scenarios[args.scenario]}
    ids = control_ids(args.source_dir)
    xvfb, display = start_xvfb() if not args.display else (None, args.display)
    env = wine_env(prefix, display)
    env["KFS_EMULATOR_SPEED"] = "50"
    failures = []
    try:
        for name, steps in scenarios.items():
            driver = Driver(args.driver, env)
            run = Run(driver, ids, work, shots, display, programs)
            begun = time.time()
            try:
                for number, step in enumerate(steps, 1):
                    if args.verbose:
                        print("  %s: %s" % (name, step.__name__), flush=True)
                    step(run)
                print("PASS %s (%.1f s)" % (name, time.time() - begun))
            except (Failure, DriverError) as e:
                failures.append(name)
                print("FAIL %s, step %d (%s): %s" % (name, number, step.__name__, e))
                shot("failed-%s-%s" % (args.group, name))(run)
            finally:
                driver.close()
                # Whatever the scenario left running ends before the next one starts.
                subprocess.run(["timeout", "60", "wineserver", "-k"], env=env, check=False)
                time.sleep(0.5)
    finally:
        subprocess.run(["timeout", "60", "wineserver", "-k"], env=env, check=False)
        if xvfb:
            xvfb.kill()
    print("screenshots in", shots)
    return 1 if failures else 0


# kfsflash.exe may take this many times as long as the one-window program to show its window.
STARTUP_GOAL = 1.2


def bench(args, prefix, repetitions):
    """Start-up to a shown window, kfsflash.exe against a program with one empty window, taken
    in turns in the same desktop. The ratio is the median of the rounds' own ratios: a round's
    two starts run moments apart, so a slow spell of the machine weighs on both alike."""
    work = os.path.join(args.work, "bench")
    os.makedirs(work, exist_ok=True)
    drives = os.path.join(work, "drives.json")
    with open(drives, "w") as f:
        json.dump({"drives": [drive("VRZ-3372BL", "1.00")]}, f)
    install_dll(args.dll, prefix)
    xvfb, display = start_xvfb()
    env = wine_env(prefix, display)
    driver = Driver(args.driver, env)
    times = {"minimal": [], "kfsflash": []}
    try:
        driver("env", "KFS_EMULATOR_DRIVES", win_path(drives))
        runs = [("minimal", args.minimal, "MinimalWindow"), ("kfsflash", args.program, "TMainForm")]
        for round_ in range(repetitions + 1):
            for name, exe, cls in runs:
                ok, got = driver("timeshown", win_path(exe), cls, "60000")
                if not ok:
                    print("%s: %s" % (name, got))
                    return 1
                if round_ > 0:  # the first round warms the caches up
                    times[name].append(float(got[0]))
    finally:
        driver.close()
        subprocess.run(["timeout", "60", "wineserver", "-k"], env=env, check=False)
        xvfb.kill()
    def median(values):
        return sorted(values)[len(values) // 2]

    for name in ("minimal", "kfsflash"):
        print("%-9s start-up to a shown window: median %.0f ms of %s" % (
            name, median(times[name]), ", ".join("%.0f" % t for t in times[name])))
    ratios = [k / m for k, m in zip(times["kfsflash"], times["minimal"])]
    ratio = median(ratios)
    print("rounds' ratios kfsflash / minimal: %s" % ", ".join("%.2f" % r for r in sorted(ratios)))
    print("ratio %-44s %5.2fx  goal <= %.1fx  %s" % (
        "start-up of kfsflash.exe to a shown window", ratio, STARTUP_GOAL,
        "met" if ratio <= STARTUP_GOAL else "NOT MET"))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for name in ("program", "driver", "dll", "merge", "source-dir", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--prepare", action="store_true")
    parser.add_argument("--group", choices=sorted(GROUPS))
    parser.add_argument("--scenario")
    parser.add_argument("--verbose", action="store_true", help="print every step")
    parser.add_argument("--display", help="an X display to use instead of an own Xvfb")
    parser.add_argument("--bench", type=int, metavar="N", help="time start-up N times")
    parser.add_argument("--minimal", help="the one-window program the benchmark compares with")
    args = parser.parse_args()
    for name in ("program", "driver", "dll", "merge", "source_dir", "work", "minimal"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    prefix = os.path.join(args.work, "wineprefix")
    if args.prepare:
        return prepare(args, prefix)
    if args.bench:
        return bench(args, prefix, args.bench)
    if not args.group:
        parser.error("--prepare or --group")
    return run_group(args, prefix)


if __name__ == "__main__":
    sys.exit(main())
