# The host side of every guest run (tools/vm-smoke, tools/vm-bench, tools/vm-kernel): Debian
# packages, the guest kernel, a build without the dialog, the initramfs, the boot, and the
# reading of the console. Sourced, with the working directory at the top of the tree.
#
# A guest's PID 1 is a script of tools/vm/ that sources tools/vm/guest.sh; it frames its output
# on the console with marker lines (see guest.sh), which section() and status() read back.

. scripts/lib.sh
ROOT=$PWD
# Kept between runs: each tool's initramfs, console and results.
VM_CACHE=$ROOT/build-vm
# The unpacked guest kernels, shared by every clone of the tree on the machine.
VM_KERNELS=${DISCFLASH_VM_KERNELS:-${XDG_CACHE_HOME:-$HOME/.cache}/discflash-vm}

VM_START=$(date +%s)
log() { echo "== [$(($(date +%s) - VM_START))s] $*"; }
die() { echo "${VM_TOOL:-vm}: $*" >&2; exit 2; }

SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
vm_apt_updated=no
vm_apt_update() {
  [ $vm_apt_updated = yes ] && return
  $SUDO apt-get update -qq
  vm_apt_updated=yes
}

# What the build and the guests need (scripts/setup --vm). When some cannot be installed, the
# tools find out what is missing later (vm_can_run tells why a guest cannot run).
vm_packages() {
  ./scripts/setup --vm || echo "$VM_TOOL: the packages of the guests could not all be installed"
}

# Can this machine run a guest at all? When not, prints why and returns 1. A machine that starts
# and idles until it is stopped two seconds later can.
vm_can_run() {
  if ! command -v qemu-system-x86_64 >/dev/null; then
    echo "qemu-system-x86_64 is not installed and could not be installed"
    return 1
  fi
  local out rc
  set +e
  out=$(timeout 2 qemu-system-x86_64 -accel tcg -machine none -nodefaults -display none \
          -monitor none -serial none -S </dev/null 2>&1)
  rc=$?
  set -e
  if [ $rc -ne 124 ]; then
    echo "QEMU (TCG) does not start here: ${out:-exit status $rc}"
    return 1
  fi
}

# vm_kernel: sets KVER, KROOT and VMLINUZ to the kernel that linux-image-amd64 stands for. Its
# package is unpacked into $VM_KERNELS/KVER rather than installed, so that the host's /boot and
# boot loader stay untouched; it is fetched once per machine and kernel version. That kernel has sr_mod, sg, the SCSI host adapters, and the LIO
# target (target_core_user, tcm_loop) as modules.
vm_kernel() {
  local kpkg
  kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
  if [ -z "$kpkg" ]; then
    vm_apt_update
    kpkg=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-/ {print $2; exit}')
  fi
  [ -n "$kpkg" ] || die "cannot tell which package linux-image-amd64 stands for"
  KVER=${kpkg#linux-image-}
  if [ -r "/boot/vmlinuz-$KVER" ] && [ -d "/lib/modules/$KVER/kernel" ]; then
    KROOT=/ VMLINUZ=/boot/vmlinuz-$KVER
  else
    KROOT=$VM_KERNELS/$KVER
    VMLINUZ=$KROOT/boot/vmlinuz-$KVER
    if [ ! -r "$VMLINUZ" ] || [ ! -d "$KROOT/lib/modules/$KVER/kernel" ]; then
      log "fetching $kpkg into $KROOT"
      # Unpacked beside and renamed when complete, so that a run cut short leaves no half tree.
      local tmp=$KROOT.partial deb
      rm -rf "$tmp" "$KROOT"
      mkdir -p "$tmp/deb"
      vm_fetch_deb() {
        (cd "$tmp/deb" && apt-get download -qq "$kpkg" 2>&1 |
          grep -v '^W: Download is performed unsandboxed' >&2 || true)
        ls "$tmp/deb/${kpkg}_"*.deb 2>/dev/null | head -1
      }
      deb=$(vm_fetch_deb)
      if [ -z "$deb" ]; then vm_apt_update; deb=$(vm_fetch_deb); fi
      [ -n "$deb" ] || die "cannot download $kpkg"
      dpkg-deb -x "$deb" "$tmp"
      rm -rf "$tmp/deb"
      mv "$tmp" "$KROOT"
    fi
  fi
  [ -f "$KROOT/lib/modules/$KVER/modules.dep" ] || depmod -b "$KROOT" "$KVER"
  log "kernel $KVER"
}

# vm_build TARGET...: builds the targets in the main build tree (configured as scripts/build
# does, when it is not yet), which ./scripts/test has built already. The guests take
# discflash-nogui, the program without the dialog, for they carry no Qt.
VM_BUILD=$ROOT/build
vm_build() {
  log "building $* ($VM_BUILD)"
  [ -f "$VM_BUILD/build.ninja" ] ||
    cmake -S . -B "$VM_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  mkdir -p "$VM_CACHE"
  logged "$VM_CACHE/build.log" ninja -C "$VM_BUILD" "$@"
}

# vm_initramfs_begin DIR: a fresh initramfs tree with busybox, the guest library and the init.
vm_initramfs_begin() {
  IRD=$1
  local init=$2
  rm -rf "$IRD"
  mkdir -p "$IRD"/{bin,sbin,proc,sys,dev,tmp,etc,modules}
  cp "$(command -v busybox)" "$IRD/bin/busybox"
  ldd "$IRD/bin/busybox" >/dev/null 2>&1 && die "busybox is not statically linked"
  cp tools/vm/guest.sh "$IRD/etc/guest.sh"
  cp "$init" "$IRD/init"
  chmod +x "$IRD/init"
  : > "$IRD/modules/order"
}

# vm_add_bin FILE [NAME]: a program into /bin, with the shared libraries at the paths ldd names,
# the loader included.
vm_add_bin() {
  local bin=$1 name=${2:-$(basename "$1")} lib
  cp "$bin" "$IRD/bin/$name"
  ldd "$bin" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\/.*[^:]$/ {print $1}' | sort -u |
    while read -r lib; do
      [ -e "$IRD$lib" ] && continue
      mkdir -p "$IRD$(dirname "$lib")"
      cp -L "$lib" "$IRD$lib"
    done
}

# vm_add_modules MODULE...: the modules with their dependencies, in load order, into
# /modules/order. The SCSI scan is made synchronous so that the nodes exist once a host
# adapter's module is in. CPU-specific crypto helpers are left out: the generic code serves,
# and TCG's CPU may lack the instructions.
vm_add_modules() {
  local m ko name args
  for m in "$@"; do
    modprobe -d "$KROOT" -S "$KVER" --show-depends "$m" | awk '$1 == "insmod" {print $2}'
  done | awk '!seen[$0]++' | grep -v /arch/x86/crypto/ | while read -r ko; do
    name=$(basename "$ko")
    name=${name%.xz}
    name=${name%.zst}
    grep -q "^$name " "$IRD/modules/order" && continue
    case "$ko" in
      *.ko.xz) xz -dc "$ko" > "$IRD/modules/$name" ;;
      *.ko.zst) zstd -qdc "$ko" > "$IRD/modules/$name" ;;
      *) cp "$ko" "$IRD/modules/$name" ;;
    esac
    args=
    [ "$name" = scsi_mod.ko ] && args=scan=sync
    echo "$name $args" >> "$IRD/modules/order"
  done
  for m in "$@"; do
    grep -q "^$m.ko " "$IRD/modules/order" || die "the kernel lacks $m"
  done
}

# vm_initramfs_pack FILE: packs the tree.
vm_initramfs_pack() {
  (cd "$IRD" && find . | cpio -o -H newc --quiet | gzip -1) > "$1"
}

# vm_boot CONSOLE TIMEOUT QEMU-ARGS...: boots the kernel with the initramfs (VM_INITRD) and the
# arguments given; the console, without carriage returns, goes to CONSOLE. Sets VM_QEMU_STATUS.
vm_boot() {
  local console=$1 timeout=$2 start
  shift 2
  log "booting the guest (TCG, up to ${timeout}s; console in $console)"
  start=$(date +%s)
  set +e
  timeout "$timeout" qemu-system-x86_64 -accel tcg -m "${VM_MEMORY:-1024}" -smp "${VM_CPUS:-1}" -nographic \
    -no-reboot -kernel "$VMLINUZ" -initrd "$VM_INITRD" \
    -append "console=ttyS0 loglevel=3 panic=-1 rdinit=/init" "$@" </dev/null 2>&1 |
    tr -d '\r' > "$console"
  VM_QEMU_STATUS=${PIPESTATUS[0]}
  set -e
  log "guest ended after $(($(date +%s) - start))s (qemu status $VM_QEMU_STATUS)"
  [ "${VM_VERBOSE:-0}" = 1 ] && cat "$console"
  return 0
}

# ---- reading the console ----------------------------------------------------------------------
# VM_CONSOLE names the console file of the run being checked.
section() {
  awk -v n="$1" '$0 ~ "^@@@ BEGIN " n "( |$)" {on=1; next} $0 ~ "^@@@ END " n " " {on=0} on' \
    "$VM_CONSOLE"
}
status() { sed -n "s/^@@@ END $1 status=\([0-9]*\)\$/\1/p" "$VM_CONSOLE" | head -1; }
same() { [ "$1" = "$2" ] && echo 0 || echo 1; }

fails=0
passes=0
check() {  # check "what" condition-result(0/1) [detail]
  if [ "$2" = 0 ]; then
    passes=$((passes + 1))
    echo "  ok    $1"
  else
    fails=$((fails + 1))
    echo "  FAIL  $1${3:+ ($3)}"
  fi
}
# Ends the run: exit 0 only when every check held.
verdict() {
  echo
  log "checked"
  if [ $fails -eq 0 ]; then
    echo "$VM_TOOL: PASS ($passes checks)"
    exit 0
  fi
  echo "$VM_TOOL: FAIL ($fails of $((passes + fails)) checks failed; console in $VM_CONSOLE)"
  exit 1
}
