#!/bin/busybox sh
# shellcheck shell=dash
# /init of the VM stage: loads the USB modules, runs the cases, powers off.
# vm/run.sh reads what lies between the markers from the serial console.
/bin/busybox --install -s /bin
export PATH=/usr/bin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo "stelloprog-vm: up"

give_up() {
  echo "stelloprog-vm: $*"
  dmesg | tail -40
  poweroff -f
}

# In the order their depends= lines ask for.
for m in $(cat /etc/vm/modules); do
  insmod "/lib/modules/$m.ko" || give_up "insmod $m failed"
done
mount -t configfs configfs /sys/kernel/config || give_up "no configfs"
[ -e /sys/class/udc/dummy_udc.0 ] || give_up "no dummy_udc.0 device controller"
echo "stelloprog-vm: modules loaded"

. /etc/vm/env
mkdir -p "$VM_WORK"
echo "=== stelloprog-vm cases begin ==="
GTEST_COLOR=no GTEST_FILTER="${VM_FILTER:-*}" /usr/libexec/stelloprog-vm/vm_cases 2>&1
rc=$?
if [ "$rc" -ne 0 ]; then
  echo "--- kernel log"
  dmesg | tail -60
fi
echo "=== stelloprog-vm cases end: exit $rc ==="
poweroff -f
