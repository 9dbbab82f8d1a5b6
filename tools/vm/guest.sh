# What every guest's PID 1 does first, and the helpers they share (busybox sh). Sourced by the
# init scripts of tools/vm/. Every run is framed by marker lines that the host reads back from
# the console (tools/vm/lib.sh):
#   @@@ BEGIN <name> | <command line>   ...output...   @@@ END <name> status=<N>
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev 2>/dev/null
mkdir -p /tmp && mount -t tmpfs tmpfs /tmp

say() { echo "@@@ $*"; }
echo  # the console may still carry the boot screen's escape codes on this line
say "KERNEL $(uname -r)"

# The modules of /modules/order, in order.
load_modules() {
  while read -r mod args; do
    [ -n "$mod" ] || continue
    insmod "/modules/$mod" $args || say "INSMOD-FAILED $mod"
  done < /modules/order
}

# wait_nodes SR SG: waits up to a minute until at least that many nodes exist (node creation may
# trail the synchronous scan a little); says how many there are.
wait_nodes() {
  i=0
  while [ $i -lt 60 ]; do
    nsr=$(ls /dev/sr* 2>/dev/null | wc -l)
    nsg=$(ls /dev/sg* 2>/dev/null | wc -l)
    [ "$nsr" -ge "$1" ] && [ "$nsg" -ge "$2" ] && break
    sleep 1
    i=$((i + 1))
  done
  say "NODES sr=$nsr sg=$nsg after ${i}s"
}

field() { tr -d '\n' < "$1"; }

# The node of a sysfs class whose INQUIRY model starts with $2.
node_of() {
  for d in $1; do
    [ -e "$d/device/model" ] || continue
    case "$(field "$d/device/model")" in "$2"*) echo "/dev/${d##*/}"; return ;; esac
  done
}

# One line per node: SYS <node> <h:c:t:l> <type> |<vendor>|<model>|<rev>| (raw INQUIRY fields).
sysfs_view() {
  for d in /sys/class/scsi_generic/sg* /sys/class/block/sr* /sys/class/block/sd*; do
    [ -e "$d/device" ] || continue
    n=${d##*/}
    hctl=$(readlink -f "$d/device"); hctl=${hctl##*/}
    echo "SYS $n $hctl $(field "$d/device/type") |$(field "$d/device/vendor")|$(field "$d/device/model")|$(field "$d/device/rev")|"
  done
}

run() {
  name=$1
  shift
  say "BEGIN $name | $*"
  "$@" 2>&1 < /dev/null
  say "END $name status=$?"
}

# A user without privileges who may open the nodes read-write.
add_user() {
  echo 'root:x:0:0::/:/bin/sh' > /etc/passwd
  echo 'smoke:x:1000:1000::/tmp:/bin/sh' >> /etc/passwd
  printf 'root:x:0:\nsmoke:x:1000:\n' > /etc/group
}

finish() {
  say "DONE"
  sync
  poweroff -f
}
