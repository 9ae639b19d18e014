# Helpers of the guest's case script. Every result is printed between markers:
#   @@RUN name status start end / output / @@STDERR / error output / @@END
#   @@FILE name / content / @@END        @@NOTE name value
T=/sys/kernel/config/target
EMU_SEQ=1

now() { cut -d' ' -f1 /proc/uptime; }

# wait_for TENTHS CONDITION: polls the shell condition every 0.1 s; false when it never holds.
wait_for() {
  n=0
  while ! eval "$2"; do
    n=$((n + 1))
    [ "$n" -ge "$1" ] && return 1
    sleep 0.1
  done
}

# run NAME LIMIT COMMAND...: runs the command with a time limit in seconds (137: killed).
run() {
  name=$1 limit=$2
  shift 2
  t0=$(now)
  timeout -s KILL "$limit" "$@" >/tmp/run.out 2>/tmp/run.err </dev/null
  st=$?
  echo "@@RUN $name $st $t0 $(now)"
  cat /tmp/run.out
  echo "@@STDERR"
  cat /tmp/run.err
  echo "@@END"
}

# run_bg NAME LIMIT COMMAND...: as run, in the background (a case that mostly waits, such as a
# command the drive never answers); collect NAME prints its result.
run_bg() {
  name=$1 limit=$2
  shift 2
  (
    t0=$(now)
    timeout -s KILL "$limit" "$@" >"/tmp/bg.$name.out" 2>"/tmp/bg.$name.err" </dev/null
    echo "$? $t0 $(now)" >"/tmp/bg.$name.st"
  ) &
  echo $! >"/tmp/bg.$name.pid"
}

collect() {
  wait "$(cat "/tmp/bg.$1.pid")"
  read -r st t0 t1 <"/tmp/bg.$1.st"
  echo "@@RUN $1 $st $t0 $t1"
  cat "/tmp/bg.$1.out"
  echo "@@STDERR"
  cat "/tmp/bg.$1.err"
  echo "@@END"
}

dump() {
  echo "@@FILE $1"
  cat "$2" 2>/dev/null
  echo "@@END"
}

note() { echo "@@NOTE $1 $2"; }

sr_list() { ls /dev/sr* 2>/dev/null | sed 's,^/dev/sr,,' | sort -n | sed 's,^,/dev/sr,'; }

# sr_at_target ID: the /dev/srN at SCSI target ID of its bus (an iSCSI unit's scsi-block device).
sr_at_target() {
  for s in /sys/block/sr*; do
    readlink -f "$s/device" | grep -q ":0:$1:0\$" && echo "/dev/${s##*/}"
  done
}

# sr_of_session_lun S N: the /dev/srN of logical unit N of the guest's own iSCSI session S.
sr_of_session_lun() {
  for s in /sys/block/sr*; do
    case "$(readlink -f "$s/device")" in
      */session$1/*:0:0:$2) echo "/dev/${s##*/}" ;;
    esac
  done
}

# iscsi_session PORT: the number of the guest's iSCSI session with the host's target on PORT
# (sessionN in sysfs), which follows the order of the logins.
iscsi_session() {
  iscsiadm -m session 2>/dev/null | sed -n "s/^tcp: \[\([0-9]*\)\] 10\.0\.2\.2:$1,.*/\1/p"
}

# solo DEV COMMAND...: runs the command in a mount namespace of its own whose /dev holds only
# DEV (and null, zero, urandom): a drive table made there has that one drive. A case that runs
# beside others so never sends a command to their drives, whose traces are judged whole. A
# program, not a function: run and run_bg start it through timeout.
cat >/bin/solo <<'SOLO'
#!/bin/sh
exec unshare -m sh -c '
  d=/tmp/solo.$$
  mkdir -p "$d"
  for n in null zero urandom "${0##*/}"; do
    m=$(cat "/sys/class/block/$n/dev" 2>/dev/null || cat "/sys/class/mem/$n/dev")
    t=c
    [ -e "/sys/class/block/$n" ] && t=b
    mknod "$d/$n" "$t" "${m%%:*}" "${m##*:}"
  done
  chmod 666 "$d/null" "$d/zero" "$d/urandom"
  mount --bind "$d" /dev
  exec "$@"' "$@"
SOLO
chmod 755 /bin/solo

# iscsi_login PORT: the guest kernel's own initiator logs in to the host's target (the host's
# loopback is 10.0.2.2 on QEMU's user network); its units appear as sr devices.
iscsi_login() {
  if [ ! -e /etc/iscsi/initiatorname.iscsi ]; then
    ip link set lo up
    ip link set eth0 up
    ip addr add 10.0.2.15/24 dev eth0
    mkdir -p /etc/iscsi /var/lib/iscsi /run/lock/iscsi /var/lock
    echo "InitiatorName=iqn.2026-01.org.kfs:guest" >/etc/iscsi/initiatorname.iscsi
    iscsid
  fi
  node="-m node -T iqn.2026-01.org.kfs:emulated-drives -p 10.0.2.2:$1"
  iscsiadm $node -o new >/dev/null
  iscsiadm $node --login >/tmp/iscsi-login 2>&1 || dump iscsi-login /tmp/iscsi-login
}

# sr_of_model MODEL: the /dev/srN whose product identification is MODEL.
sr_of_model() {
  for s in /sys/block/sr*; do
    [ "$(cat "$s/device/model" | sed 's/ *$//')" = "$1" ] && echo "/dev/${s##*/}"
  done
}

# The drive-table position of a device: the machine's /dev/srN in ascending N.
index_of() { sr_list | grep -n -x "$1" | cut -d: -f1 | awk '{ print $1 - 1 }'; }

# emu_start NAME DESCRIPTION: one TCM-user back store served by the bridge, exported by its own
# tcm_loop target. Sets DEV (/dev/srN) and IDX (its drive-table position). The order matters:
# back store enabled, bridge on its ring, nexus, and only then the LUN.
emu_start() {
  name=$1
  seq=$EMU_SEQ
  EMU_SEQ=$((EMU_SEQ + 1))
  store=$T/core/user_$seq/$name
  mkdir -p "$store"
  echo -n "dev_config=kfs/$name" >"$store/control"
  echo 1 >"$store/enable"
  uio=
  for u in /sys/class/uio/uio*; do
    grep -q "^tcm-user/$seq/$name/" "$u/name" && uio=/dev/${u##*/}
  done
  before=$(sr_list)
  rm -f "/tmp/$name.ready"
  kfs-tcmu-bridge --uio "$uio" --emulate "$2" --trace "/tmp/$name.trace" \
    --ready "/tmp/$name.ready" --rom-out "/tmp/$name.rom" 2>"/tmp/$name.bridge" &
  eval "BRIDGE_$name=$!"
  wait_for 300 "[ -e /tmp/$name.ready ]" || note "$name.bridge" "not-ready"
  wwn=naa.5001405$(printf %09x "$seq")
  tpg=$T/loopback/$wwn/tpgt_1
  mkdir -p "$tpg/lun/lun_0"
  echo "naa.5001406$(printf %09x "$seq")" >"$tpg/nexus"
  ln -s "$store" "$tpg/lun/lun_0/$name"
  DEV=
  wait_for 600 '[ -n "$(new_sr "$before")" ]'
  DEV=$(new_sr "$before")
  IDX=$(index_of "$DEV")
  note "$name.device" "$DEV $IDX $(now)"
}

new_sr() { sr_list | grep -v -x -F "$1" | head -1; }

# emu_unlink NAME: removes the LUN (the device goes away).
emu_unlink() {
  seq=$(ls -d $T/core/user_*/"$1" | sed 's,.*/user_\([0-9]*\)/.*,\1,')
  tpg=$T/loopback/naa.5001405$(printf %09x "$seq")/tpgt_1
  rm -f "$tpg/lun/lun_0/$1"
  rmdir "$tpg/lun/lun_0" 2>/dev/null
}

# emu_stop NAME: removes the target, stops the bridge (it writes the ROM) and the back store.
emu_stop() {
  seq=$(ls -d $T/core/user_*/"$1" | sed 's,.*/user_\([0-9]*\)/.*,\1,')
  wwn=naa.5001405$(printf %09x "$seq")
  emu_unlink "$1"
  echo NULL >"$T/loopback/$wwn/tpgt_1/nexus" 2>/dev/null
  rmdir "$T/loopback/$wwn/tpgt_1" "$T/loopback/$wwn" 2>/dev/null
  eval "pid=\$BRIDGE_$1"
  kill "$pid"
  wait "$pid"
  rmdir "$T/core/user_$seq/$1" "$T/core/user_$seq" 2>/dev/null
  dump "$1.trace" "/tmp/$1.trace"
  dump "$1.bridge" "/tmp/$1.bridge"
}

# rom_hash NAME RANGES...: SHA-256 of the given "start:length" ranges of the bridge's ROM dump.
rom_hash() {
  name=$1
  shift
  for r in "$@"; do
    tail -c +$((${r%%:*} + 1)) "/tmp/$name.rom" | head -c "${r##*:}"
  done | sha256sum | cut -d' ' -f1
}

# as_user COMMAND...: runs the command as the ordinary user "kfs" (uid 1000, no capabilities).
printf '#!/bin/sh\nexec su kfs -c "$*"\n' >/bin/as_user
chmod 755 /bin/as_user

# wine_root: a root to chroot into for the Windows program's cases. The host's root file system
# read-only over 9p (Wine and its libraries stay on the host), tmpfs over the places Wine and
# Xvfb write, the writable work share under /tmp/work, and the guest's own /dev, /proc, /sys.
# wine_root SOURCE: the host's root read-only at /newroot with the guest's own writable places,
# the work share at /tmp/work, and the source tree (the host's SOURCE) at its own path again:
# a clone under /tmp or /root would otherwise be hidden by the tmpfs there.
wine_root() {
  R=/newroot
  mkdir -p $R
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot $R
  for d in tmp run var/tmp root; do mount -t tmpfs tmpfs "$R/$d"; done
  mount -t proc proc $R/proc
  mount -t sysfs sysfs $R/sys
  mount -o bind /dev $R/dev
  mkdir -p $R/dev/shm && mount -t tmpfs tmpfs $R/dev/shm
  mkdir -p $R/tmp/work
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 work $R/tmp/work
  mkdir -p "$R$1"
  mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 source "$R$1"
}
