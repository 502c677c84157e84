#!/usr/bin/env bash
# Runs one command under a real Linux kernel in a small virtual machine and
# prints its output and exit status; exits with the command's status.
#
#   run-in-vm.sh [--timeout SECONDS] [--fetch-only] [--] COMMAND [ARGS...]
#
# The kernel and its modules come from Debian's linux-image-amd64 package,
# unpacked (never installed) into the cache directory $TAVRO_VM_CACHE
# (default /var/cache/tavro-test-kernel when it can be written, else
# ~/.cache/tavro-test-kernel).  The machine boots a busybox initramfs, loads
# virtio, 9p, evdev and uinput, mounts the host's root file system read-only
# over 9p and runs the command chrooted into it, in the current directory,
# with proc, sysfs, devtmpfs, devpts and fresh tmpfs on /tmp and /run, and
# systemd-udevd running so that libinput sees the devices the command
# creates.  Nothing is written to the host but the cache.
#
# Exit status: the command's, 124 when the time-out passed, 77 when no
# virtual machine can be started here (qemu, busybox or the kernel missing).
set -uo pipefail

timeout_seconds=90
fetch_only=0
while [ $# -gt 0 ]; do
    case $1 in
        --timeout) timeout_seconds=$2; shift 2 ;;
        --fetch-only) fetch_only=1; shift ;;
        --help|-h) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if [ $fetch_only = 0 ] && [ $# -eq 0 ]; then
    echo "run-in-vm.sh: no command given (see --help)" >&2
    exit 2
fi

skip() { echo "run-in-vm.sh: $*" >&2; exit 77; }

for tool in qemu-system-x86_64 dpkg apt-get; do
    command -v "$tool" >/dev/null || skip "$tool is missing: apt-get install qemu-system-x86"
done
busybox=$(command -v busybox) || skip "busybox is missing: apt-get install busybox-static"
# The initramfs has no libraries: only a static busybox works there.
if ldd "$busybox" >/dev/null 2>&1; then
    skip "$busybox is not static: apt-get install busybox-static"
fi

cache=${TAVRO_VM_CACHE:-}
if [ -z "$cache" ]; then
    if mkdir -p /var/cache/tavro-test-kernel 2>/dev/null && [ -w /var/cache/tavro-test-kernel ]; then
        cache=/var/cache/tavro-test-kernel
    else
        cache=${XDG_CACHE_HOME:-$HOME/.cache}/tavro-test-kernel
    fi
fi
mkdir -p "$cache" || skip "cannot create the kernel cache $cache"

# ---- The kernel: downloaded once, unpacked into the cache. ----
fetch_kernel() {
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
              awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
    [ -n "$package" ] || { echo "no linux-image-amd64 in the package lists (run apt-get update)" >&2; return 1; }
    if ! ls "$cache"/"$package"_*.deb >/dev/null 2>&1; then
        (cd "$cache" && apt-get download -q "$package" 2>&1 | grep -v '^W: Download is performed unsandboxed') ||
            return 1
    fi
    local deb
    deb=$(ls "$cache"/"$package"_*.deb | head -n 1)
    rm -rf "$cache/root.new"
    dpkg -x "$deb" "$cache/root.new" && rm -rf "$cache/root" && mv "$cache/root.new" "$cache/root"
}
kernel=$(ls "$cache"/root/boot/vmlinuz-* 2>/dev/null | head -n 1)
if [ -z "$kernel" ]; then
    fetch_kernel || skip "could not fetch Debian's kernel package into $cache"
    kernel=$(ls "$cache"/root/boot/vmlinuz-* | head -n 1)
fi
[ $fetch_only = 1 ] && { echo "kernel: $kernel"; exit 0; }
version=${kernel##*/vmlinuz-}
modules=$cache/root/lib/modules/$version/kernel

# ---- The initramfs: busybox, the modules, an init script. ----
work=$(mktemp -d "${TMPDIR:-/tmp}/tavro-vm-XXXXXX") || exit 1
# TAVRO_VM_KEEP=1 keeps the initramfs and the console log for a look.
[ "${TAVRO_VM_KEEP:-0}" = 1 ] && echo "run-in-vm.sh: keeping $work" >&2 || trap 'rm -rf "$work"' EXIT
initrd=$work/initrd
mkdir -p "$initrd"/{bin,dev,proc,sys,host,lib/modules}
cp "$busybox" "$initrd/bin/busybox"
for module in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci \
              netfs fscache 9pnet 9pnet_virtio 9p evdev uinput; do
    path=$(find "$modules" -name "$module.ko" | head -n 1)
    # Some of these are built into other kernels; absent is fine then.
    [ -n "$path" ] && { cp "$path" "$initrd/lib/modules/"; echo "$module" >>"$initrd/lib/modules/order"; }
done

# The command, its directory and the variables it needs, as a script.
{
    echo "cd $(printf '%q' "$PWD") || exit 1"
    for name in PATH LANG GTEST_FILTER GTEST_COLOR TAVRO_VM_VERBOSE XKB_DEFAULT_LAYOUT XKB_DEFAULT_MODEL \
                XKB_DEFAULT_VARIANT XKB_DEFAULT_OPTIONS XKB_DEFAULT_RULES; do
        [ -n "${!name:-}" ] && echo "export $name=$(printf '%q' "${!name}")"
    done
    echo "export HOME=/tmp/home TAVRO_IN_VM=1"
    echo "mkdir -p /tmp/home"
    printf 'exec'
    printf ' %q' "$@"
    echo
} >"$initrd/command"
# The guest gets a fresh /tmp; a work tree that lives under the host's /tmp
# (a CI clone, say) is bound back into it so the command finds its files.
case $PWD in
    /tmp/?*) keep=${PWD#/tmp/}; echo "${keep%%/*}" >"$initrd/keep" ;;
    *) : >"$initrd/keep" ;;
esac

cat >"$initrd/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r module; do insmod "/lib/modules/$module.ko" 2>/dev/null; done </lib/modules/order
# The 9p device may still be probing: retry the mount for a moment.
i=0
until mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144,cache=loose host /host 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt 50 ] && { echo "tavro-vm: cannot mount the host's root"; poweroff -f; }
    sleep 0.1
done
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts /host/dev/shm 2>/dev/null
mount -t devpts -o newinstance,ptmxmode=0666 devpts /host/dev/pts
ln -sf pts/ptmx /host/dev/ptmx 2>/dev/null
mount -t tmpfs tmp /host/dev/shm
keep=$(cat /keep)
if [ -n "$keep" ]; then
    mkdir -p /hosttmp
    mount -o bind /host/tmp /hosttmp
fi
mount -t tmpfs tmp /host/tmp
if [ -n "$keep" ]; then
    mkdir -p "/host/tmp/$keep"
    mount -o bind "/hosttmp/$keep" "/host/tmp/$keep"
fi
mount -t tmpfs run /host/run
chmod 1777 /host/tmp
cp /command /host/tmp/.tavro-vm-command
# udev names and tags the input devices for libinput.
chroot /host /bin/sh -c 'systemd-udevd --daemon >/dev/null 2>&1 || /lib/systemd/systemd-udevd --daemon >/dev/null 2>&1; udevadm trigger >/dev/null 2>&1; udevadm settle -t 10 >/dev/null 2>&1'
echo "tavro-vm: command starts"
chroot /host /bin/sh /tmp/.tavro-vm-command </dev/null
echo "tavro-vm: exit status $?"
poweroff -f
EOF
chmod +x "$initrd/init"
(cd "$initrd" && find . | "$busybox" cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

# ---- Boot, run, collect. ----
# TAVRO_VM_VERBOSE=1 shows the kernel's messages and the whole console.
kernel_log="quiet loglevel=1"
[ "${TAVRO_VM_VERBOSE:-0}" = 1 ] && kernel_log="loglevel=6"
start=$(date +%s)
log=$work/console
timeout --kill-after=5 "$timeout_seconds" qemu-system-x86_64 \
    -accel tcg -cpu max -m 1024 -smp 1 -nodefaults -no-reboot -display none \
    -serial stdio -monitor none \
    -kernel "$kernel" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 $kernel_log panic=-1 rdinit=/init" \
    -fsdev local,id=host,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=host,mount_tag=host \
    </dev/null 2>&1 | tr -d '\r' | tee "$log" | sed -n '/^tavro-vm: command starts/,$p' | grep -v '^tavro-vm: command starts'
qemu_status=${PIPESTATUS[0]}
elapsed=$(($(date +%s) - start))
status=$(sed -n 's/^tavro-vm: exit status \([0-9]*\)$/\1/p' "$log" | tail -n 1)
if [ -z "$status" ]; then
    if [ "$qemu_status" = 124 ] || [ "$qemu_status" = 137 ]; then
        echo "run-in-vm.sh: the command did not finish within ${timeout_seconds} s; the console's last lines:" >&2
        tail -n 30 "$log" >&2
        status=124
    else
        echo "run-in-vm.sh: the virtual machine ended without running the command (qemu status $qemu_status):" >&2
        tail -n 30 "$log" >&2
        status=1
    fi
fi
echo "run-in-vm.sh: kernel $version, ${elapsed} s, exit status $status" >&2
exit "$status"
