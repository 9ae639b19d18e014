#!/usr/bin/env python3
"""The Windows program's cases inside the guest, run by the host's own python3 in the chroot
over the host's root (see wine_root in lib.sh).

  wine_cases.py SHARE

SHARE is the writable 9p share: plan.json (written by vm_stage.py) and devices.txt (the guest's
"NAME /dev/srN" lines) come in; results.json, the programs' kfsflash.log and screenshots go out.
Each drive of the plan gets a drive letter of its own in every prefix: the folder, the device
behind it and the registry's "cdrom" type, as Wine's mount manager would set them with udisks.
The window is driven by the end-to-end driver (tests/e2e) as on the host."""
import json
import os
import shutil
import subprocess
import sys
import tarfile
import threading
import time

SHARE = sys.argv[1]
PLAN = json.load(open(os.path.join(SHARE, "plan.json")))
ROOT = PLAN["root"]
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import run_e2e as e2e  # noqa: E402

HOME = "/tmp/home"
WINE = {"win32": "wine", "win64": "/usr/lib/wine/wine64"}
RESULTS = {"timings": {}, "runs": {}}
START = time.monotonic()


def note_time(name, since):
    RESULTS["timings"][name] = round(time.monotonic() - since, 1)
    print(f"wine: {name} {RESULTS['timings'][name]} s", flush=True)


def save():
    with open(os.path.join(SHARE, "results.json"), "w") as f:
        json.dump(RESULTS, f, indent=1)


def devices():
    found = {}
    for line in open(os.path.join(SHARE, "devices.txt")):
        name, _, dev = line.strip().partition(" ")
        if dev:
            found[name] = dev
    return found


def environment(prefix, arch, display):
    e2e.WINE, e2e.WINEARCH = WINE[arch], arch
    env = e2e.wine_env(prefix, display)
    env["HOME"] = HOME
    return env


def wine(env, *args, limit=300):
    return subprocess.run(["timeout", str(limit), e2e.WINE, *args], env=env,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# Whether a wineserver (with its mount manager) runs for the prefix in use: programs started
# since the last "wineserver -k".
SERVER = {"up": False}


def wineserver(env, flag):
    subprocess.run(["timeout", "60", "wineserver", flag], env=env, check=False)
    if flag == "-k":
        SERVER["up"] = False


# Wine's pass-through keeps a table of at most five CD-ROM devices a process has used (ntdll's
# unix cdrom code, MAX_CACHE_ENTRIES): a sixth device's commands fail before they reach it. So
# a run sees at most five units, on D: to H:.
LETTERS = "defgh"


def set_letters(prefix, env):
    """Drive letters by hand: the registry's drive type for D: to H:, which the mount manager
    reads when the wineserver starts; the links to the units come with each run (use_units)."""
    reg = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]"]
    for letter in LETTERS:
        reg.append(f'"{letter}:"="cdrom"')
    # Every program in one virtual desktop, as the end-to-end tests on the host run them; the
    # copies named for Windows 98 report it, with our WNASPI32.DLL (next to them) or Wine's own.
    reg += ["", "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]", '"Desktop"="kfs"', "",
            "[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]", '"kfs"="1024x768"']
    for exe, dll in (("probe98.exe", "native"), ("probe98wine.exe", "builtin"),
                     ("kfs98wine.exe", "builtin")):
        reg += ["", f"[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\{exe}]",
                '"Version"="win98"', "",
                f"[HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\{exe}\\DllOverrides]",
                f'"wnaspi32"="{dll}"']
    path = os.path.join(HOME, "drives.reg")
    with open(path, "w") as f:
        f.write("\r\n".join(reg) + "\r\n")
    wine(env, "regedit", "/S", e2e.win_path(path), limit=120)
    # The mount manager reads the drive types when it starts.
    wineserver(env, "-k")
    wineserver(env, "-w")


def use_units(prefix, units, found):
    """The run's units on D: onwards: dosdevices "d:" a folder, "d::" the device; the other
    letters of LETTERS have no drive. The mount manager reads these when the wineserver starts."""
    for i, letter in enumerate(LETTERS):
        for name in (f"{letter}:", f"{letter}::"):
            link = os.path.join(prefix, "dosdevices", name)
            if os.path.lexists(link):
                os.remove(link)
        if i < len(units):
            folder = os.path.join(HOME, "cd", letter)
            os.makedirs(folder, exist_ok=True)
            os.symlink(folder, os.path.join(prefix, "dosdevices", f"{letter}:"))
            os.symlink(found.get(units[i], "/dev/null"),
                       os.path.join(prefix, "dosdevices", f"{letter}::"))


def define_units(prefix, env, driver_exe, units, found):
    """The run's units on D: onwards in the running wineserver: its mount manager takes each
    letter's device and folder (and writes the same links) as winecfg has it do, so the
    services and desktop need not start again. False when the mount manager refused a letter."""
    driver = e2e.Driver(driver_exe, env)
    try:
        for i, letter in enumerate(LETTERS):
            if i < len(units):
                folder = os.path.join(HOME, "cd", letter)
                os.makedirs(folder, exist_ok=True)
                ok, got = driver("drive", letter, "cdrom", folder,
                                 found.get(units[i], "/dev/null"))
                ok = ok and got == ["5"]  # DRIVE_CDROM
            else:
                ok, got = driver("drive", letter, "none")
                stale = os.path.join(prefix, "dosdevices", f"{letter}::")
                if os.path.lexists(stale):
                    os.remove(stale)
            if not ok:
                print(f"wine: the mount manager did not take {letter}: {got}", flush=True)
                return False
        return True
    except e2e.DriverError as e:
        print(f"wine: the mount manager's letters: {e}", flush=True)
        return False
    finally:
        driver.close()


def make_prefix(arch, display):
    """The architecture's prefix, its environment, and whether it came ready: from the host's
    cache, with its drive letters (and a 64-bit one's x86 Common Controls) set up by an earlier
    run. A tar file the host hands in is unpacked; the 32-bit prefix is otherwise made here
    (the host cannot run 32-bit code)."""
    prefix = os.path.join(HOME, arch)
    env = environment(prefix, arch, display)
    begun = time.monotonic()
    given = PLAN.get("prefixes", {}).get(arch)
    if given:
        os.makedirs(HOME, exist_ok=True)
        subprocess.run(["tar", "xf", os.path.join(SHARE, given["tar"]), "-C", HOME], check=True)
    else:
        os.makedirs(prefix, exist_ok=True)
        wine(env, "wineboot", "-i", limit=600)
        wineserver(env, "-w")
    note_time(f"prefix {arch}" + (" (ready, from the host's cache)" if given and given["ready"]
                                  else ""), begun)
    return prefix, env, bool(given and given["ready"])


# Wine's own DLLs, of which a prefix holds copies in its system folders.
WINE_DLLS = {"i386": "/usr/lib/i386-linux-gnu/wine/i386-windows",
             "x86_64": "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"}


def save_ready_prefix(arch, prefix):
    """The prepared prefix as a tar file for the host's cache, before any program has run in
    it. Its copies of Wine's own DLLs (a file of the same name and size in Wine's folder of its
    machine) go in as links to those files, which every guest sees at the same paths: 700 MB
    become 20."""
    begun = time.monotonic()
    sizes = {machine: {name.lower(): (os.path.join(folder, name),
                                      os.path.getsize(os.path.join(folder, name)))
                       for name in os.listdir(folder)}
             for machine, folder in WINE_DLLS.items()}

    def linked(info):
        if info.isfile() and "/drive_c/windows/" in info.name:
            machine = "i386" if arch == "win32" or "/syswow64/" in info.name else "x86_64"
            library, size = sizes[machine].get(os.path.basename(info.name).lower(), ("", -1))
            if size == info.size:
                info.type, info.linkname, info.size = tarfile.SYMTYPE, library, 0
        return info
    made = os.path.join(SHARE, f"made-{arch}.tar")
    with tarfile.open(made + ".part", "w") as tar:
        tar.add(prefix, arch, filter=linked)
    os.replace(made + ".part", made)
    note_time(f"saved {arch}", begun)


def add_x86_common_controls(prefix64, prefix32):
    """The x86 Common Controls assembly, as a 64-bit Windows holds it beside the amd64 one: a
    program that names the wrong architecture in its manifest then binds to it and does not
    start. Taken from the 32-bit prefix (made in this guest, where 32-bit code runs)."""
    src = os.path.join(prefix32, "drive_c", "windows", "winsxs")
    dst = os.path.join(prefix64, "drive_c", "windows", "winsxs")
    for sub in ("", "manifests"):
        for name in os.listdir(os.path.join(src, sub)):
            if name.startswith("x86_microsoft.windows.common-controls_"):
                target = os.path.join(dst, sub, name)
                if os.path.isdir(os.path.join(src, sub, name)):
                    if not os.path.exists(target):
                        shutil.copytree(os.path.join(src, sub, name), target, symlinks=True)
                else:
                    shutil.copy2(os.path.join(src, sub, name), target)


def x86_common_controls(prefix64):
    """The x86 Common Controls entries a 64-bit prefix holds (added when it was prepared)."""
    winsxs = os.path.join(prefix64, "drive_c", "windows", "winsxs")
    return [os.path.join(sub, name) for sub in ("", "manifests")
            for name in sorted(os.listdir(os.path.join(winsxs, sub)))
            if name.startswith("x86_microsoft.windows.common-controls_")]


def temp_log(prefix):
    """kfsflash.log in the user's temporary folder of the prefix."""
    for dirpath, _, names in os.walk(os.path.join(prefix, "drive_c", "users")):
        if "kfsflash.log" in names:
            return os.path.join(dirpath, "kfsflash.log")
    return None


# ---- a window session: several updates in one program run ----------------------------------

def window_session(run, prefix, env, display, ids):
    """Starts the program once and runs the run's updates one after the other, each on its
    drive entry: load, verification on, Start, and every box answered until the restart
    question (or an error box) ends it. Records per update the boxes, the list lines, the
    entries and the seconds."""
    out = {"updates": {}, "start_seconds": None, "problem": None}
    RESULTS["runs"][run["name"]] = out
    exited = False
    log = temp_log(prefix)
    if log:
        os.remove(log)
    driver = e2e.Driver(run["driver"], env)
    try:
        def call(*words):
            ok, values = driver(*words)
            if not ok:
                raise e2e.Failure("%s: %s" % (" ".join(map(str, words)), " ".join(values)))
            return values
        begun = time.monotonic()
        pid = call("start", e2e.win_path(run["program"]), e2e.win_path(SHARE))[0]
        # A box may come before the window (start-up that finds no drive or no matching one);
        # a copy that fails to start (a manifest naming an assembly of the other architecture)
        # shows neither, and what it leaves is its exit status.
        deadline = time.monotonic() + run.get("main_s", 150)
        while True:
            ok, got = driver("main", pid, "2000")
            if ok:
                break
            shown, box = driver("box", "300")
            if shown:
                out.setdefault("start_boxes", []).append(box)
                call("answer", "ok")
                continue
            done, code = driver("exited", pid, "10")
            if done or time.monotonic() > deadline:
                out["problem"] = "no main window: %s; exit %s" % (" ".join(got), " ".join(code))
                return out
        out["caption"] = got[0]
        out["start_seconds"] = round(time.monotonic() - begun, 1)
        out["entries"] = call("combo", str(ids["SelDevice"]))[2:]
        for update in run["updates"]:
            u = {"boxes": []}
            out["updates"][update["case"]] = u
            t0 = time.monotonic()
            if update.get("file"):
                call("click", str(ids["BitBtn1"]))
                call("file", e2e.win_path(os.path.join(SHARE, update["file"])), "60000")
            if "entry" in update:
                # After the load, which selects the first drive the firmware matches.
                for _ in range(50):
                    got = call("combo", str(ids["SelDevice"]))
                    if got[1] == str(update["entry"]):
                        break
                    call("select", str(ids["SelDevice"]), str(update["entry"]))
                    time.sleep(0.1)
                u["selected"] = got[1]
                if got[1] != str(update["entry"]):
                    raise e2e.Failure("entry %s not selected: %r" % (update["entry"], got))
            if update.get("verify", True):
                for _ in range(50):
                    if call("checked", str(ids["check_verify"]))[0] == "1":
                        break
                    call("click", str(ids["check_verify"]))
                    time.sleep(0.1)
            u["edit"] = call("text", str(ids["Edit1"]))[0]
            call("click", str(ids["BitBtn2"]))
            if update.get("remove_device"):
                threading.Thread(target=remove_when_verifying,
                                 args=(run["driver"], env, pid, ids,
                                       devices()[update["remove_device"]]), daemon=True).start()
            while True:
                ok, got = driver("box", str(update.get("box_ms", 400000)))
                if not ok:
                    u["problem"] = "no box: " + " ".join(got)
                    break
                u["boxes"].append(got)
                caption, text = got[0], got[1]
                if text == e2e.RESTART_QUESTION:
                    u["lines"] = call("list", str(ids["ListBox1"]))[2:]
                    call("answer", "cancel")
                    break
                u["lines"] = call("list", str(ids["ListBox1"]))[2:]
                call("answer", "ok")
                if caption == "Error":
                    break
            u["seconds"] = round(time.monotonic() - t0, 1)
            u["entries"] = call("combo", str(ids["SelDevice"]))[2:]
            print(f"wine: {run['name']} {update['case']}: {u['seconds']} s, boxes "
                  f"{u['boxes']}", flush=True)
            save()
        call("click", str(ids["BitBtn4"]))
        exited = driver("exited", pid, "30000")[0]
    except (e2e.Failure, e2e.DriverError) as e:
        out["problem"] = str(e)
        shot(display, "failed-" + run["name"])
    finally:
        driver.close()
        log = temp_log(prefix)
        if log:
            shutil.copy(log, os.path.join(SHARE, run["name"] + ".kfsflash.log"))
        if not exited:
            wineserver(env, "-k")  # nothing of a run that went wrong stays for the next
    return out


def remove_when_verifying(driver_exe, env, pid, ids, dev):
    """Deletes the unit once the program has finished the flash and reads the ROM back to
    verify it: a second driver watches the window's list for that line. A unit deleted while
    the flash is written would cost the program's whole ready wait (Wine's error for a deleted
    device is no sign of one gone); at the verification the read fails at once."""
    watcher = e2e.Driver(driver_exe, env)
    try:
        ok, _ = watcher("main", pid, "10000")
        deadline = time.monotonic() + 600
        while ok and time.monotonic() < deadline:
            ok, got = watcher("list", str(ids["ListBox1"]))
            lines = got[2:] if ok else []
            if "Flashing finished !" in lines and "Read ROM Data" in lines[
                    lines.index("Flashing finished !"):]:
                remove_device(dev)
                return
            time.sleep(0.2)
        print(f"wine: {dev} not deleted: the verification was never seen", flush=True)
    finally:
        watcher.close()


def remove_device(dev):
    """The unit goes away as when it is unplugged: the kernel deletes its SCSI device."""
    name = os.path.basename(dev)
    try:
        with open(f"/sys/block/{name}/device/delete", "w") as f:
            f.write("1")
        print(f"wine: {dev} deleted", flush=True)
    except OSError as e:
        print(f"wine: deleting {dev}: {e}", flush=True)


def nodrive_session(run, env):
    """A copy that finds no drive: its box at start, then its exit."""
    out = {}
    RESULTS["runs"][run["name"]] = out
    exited = False
    driver = e2e.Driver(run["driver"], env)
    try:
        ok, pid = driver("start", e2e.win_path(run["program"]), e2e.win_path(SHARE))
        ok, got = driver("box", "120000")
        out["box"] = got
        if ok:
            driver("answer", "ok")
            exited, out["exit"] = driver("exited", pid[0], "30000")
    finally:
        driver.close()
        if not exited:
            wineserver(env, "-k")  # nothing of a run that went wrong stays for the next


def shot(display, name):
    folder = os.path.join(SHARE, "shots")
    os.makedirs(folder, exist_ok=True)
    subprocess.run(["import", "-display", display, "-window", "root",
                    os.path.join(folder, name + ".png")], timeout=60, check=False,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def console_run(run, env):
    """A console program (the identification probe): its output and status."""
    begun = time.monotonic()
    for name, value in run.get("env", {}).items():
        env = dict(env, **{name: value})
    p = subprocess.run(["timeout", str(run.get("limit", 300)), e2e.WINE, run["program"]],
                       cwd=SHARE, env=env, capture_output=True, text=True, encoding="latin-1")
    RESULTS["runs"][run["name"]] = {"status": p.returncode, "stdout": p.stdout,
                                    "stderr": p.stderr[-2000:],
                                    "seconds": round(time.monotonic() - begun, 1)}
    print(f"wine: {run['name']}: status {p.returncode}, "
          f"{RESULTS['runs'][run['name']]['seconds']} s", flush=True)
    if p.returncode in (124, 137):
        wineserver(env, "-k")  # what the timed-out program left


def main():
    os.makedirs(HOME, exist_ok=True)
    os.environ["HOME"] = HOME
    found = devices()
    RESULTS["devices"] = found
    xvfb, display = e2e.start_xvfb()
    ids = e2e.control_ids(ROOT)
    try:
        prefixes = {}
        for arch in PLAN["architectures"]:
            prefix, env, ready = make_prefix(arch, display)
            if not ready:
                if arch == "win64" and "win32" in prefixes:
                    add_x86_common_controls(prefix, prefixes["win32"][0])
                begun = time.monotonic()
                set_letters(prefix, env)
                note_time(f"letters {arch}", begun)
                save_ready_prefix(arch, prefix)
            if arch == "win32":
                # The program loads WNASPI32.DLL from the system directory by its full path.
                shutil.copy(os.path.join(SHARE, "WNASPI32.DLL"),
                            os.path.join(prefix, "drive_c", "windows", "system32"))
            prefixes[arch] = (prefix, env)
            if arch == "win64":
                RESULTS["x86_common_controls"] = x86_common_controls(prefix)
            # The wineserver with its services and desktop starts once for all runs of the
            # architecture (under TCG that start is most of a program start): the next run's
            # units get their letters from the running mount manager. A run that went wrong
            # ends its wineserver; the next one starts a new one on links written beforehand.
            # A run without units (the Windows 98 probe with our WNASPI32.DLL) uses no letter.
            linked = None
            for run in PLAN["runs"]:
                if run["arch"] != arch:
                    continue
                begun = time.monotonic()
                if "units" in run and run["units"] != linked:
                    if SERVER["up"] and define_units(prefix, env, run["driver"], run["units"],
                                                     found):
                        print(f"wine: {run['name']}: letters from the running mount manager",
                              flush=True)
                    else:
                        wineserver(env, "-k")
                        wineserver(env, "-w")
                        use_units(prefix, run["units"], found)
                    linked = run["units"]
                SERVER["up"] = True
                if run["kind"] == "window":
                    window_session(run, prefix, env, display, ids)
                elif run["kind"] == "nodrive":
                    nodrive_session(run, env)
                else:
                    console_run(run, env)
                note_time(run["name"], begun)
                save()
            wineserver(env, "-k")
            wineserver(env, "-w")
    finally:
        xvfb.kill()
        RESULTS["seconds"] = round(time.monotonic() - START, 1)
        save()


if __name__ == "__main__":
    main()
