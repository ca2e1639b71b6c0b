#!/usr/bin/env bash
# The VM stage: boots Debian's kernel under QEMU with a busybox initramfs
# holding the installed program and module, the machine's shared libraries,
# the emulated bridge and the cases, runs the cases inside and reports them.
#
#   vm/run.sh BUILD_DIR [GTEST_FILTER]
#
# BUILD_DIR is a built tree (build/default). The kernel package is
# downloaded once into build/vm-cache. Exits non-zero when a case fails or
# the VM does not come up.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: vm/run.sh BUILD_DIR [GTEST_FILTER]}" && pwd)
filter=${2:-*}
cache=$root/build/vm-cache
image=$build/vm/image
console=$build/vm/console.log
time_limit=100

# The modules the cases need; what they depend on is added before them.
wanted=(dummy_hcd libcomposite usb_f_fs cp210x)

fail() {
  echo "vm/run.sh: $*" >&2
  exit 1
}

kernel_package() {
  local pkg
  pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
  if [ -z "$pkg" ]; then
    apt-get update -qq >/dev/null || true
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ {print $2; exit}')
  fi
  [ -n "$pkg" ] || fail "apt knows no package behind linux-image-amd64"
  echo "$pkg"
}

# Downloads and unpacks the kernel, once; fails when the download does.
fetch_kernel() {
  local pkg=$1
  kdir=$cache/$pkg
  [ -f "$kdir/.unpacked" ] && return
  mkdir -p "$cache"
  local deb
  deb=$(find "$cache" -maxdepth 1 -name "${pkg}_*.deb" | head -1)
  if [ -z "$deb" ]; then
    echo "== downloading $pkg"
    (cd "$cache" && apt-get download -q "$pkg" 2>&1 | grep -v 'unsandboxed' >&2) || true
    deb=$(find "$cache" -maxdepth 1 -name "${pkg}_*.deb" | head -1)
    [ -n "$deb" ] || return 1
  fi
  rm -rf "$kdir" && mkdir -p "$kdir"
  dpkg-deb --fsys-tarfile "$deb" |
    tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' './lib/modules/*/kernel/drivers/usb/*' \
      './lib/modules/*/kernel/fs/configfs/*' || fail "could not unpack $deb"
  touch "$kdir/.unpacked"
}

module_file() {
  find "$kdir/lib/modules" -name "$1.ko" | head -1
}

# Appends the module and, before it, what its depends= line names.
order=()
add_module() {
  local m=$1 dep f
  for have in "${order[@]}"; do [ "$have" = "$m" ] && return; done
  f=$(module_file "$m")
  [ -n "$f" ] || fail "the kernel package has no module $m"
  for dep in $(tr '\0' '\n' <"$f" | sed -n 's/^depends=//p' | tr ',' ' '); do add_module "$dep"; done
  order+=("$m")
}

copy_libraries() {
  local elf lib
  for elf in "$@"; do
    for lib in $(ldd "$elf" 2>/dev/null | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}'); do
      [ -e "$image$lib" ] && continue
      mkdir -p "$image$(dirname "$lib")"
      cp -L "$lib" "$image$lib"
    done
  done
}

build_image() {
  rm -rf "$image" && mkdir -p "$image"/{bin,dev,proc,sys,tmp,etc/vm,lib/modules,usr/libexec/stelloprog-vm}
  cp /bin/busybox "$image/bin/busybox"
  cp "$root/vm/init.sh" "$image/init"
  chmod 755 "$image/init"

  for m in "${wanted[@]}"; do add_module "$m"; done
  for m in "${order[@]}"; do cp "$(module_file "$m")" "$image/lib/modules/"; done
  printf '%s\n' "${order[@]}" >"$image/etc/vm/modules"

  # The program, the module and the udev rule where their install puts them.
  DESTDIR=$image cmake --install "$build" --prefix /usr >/dev/null
  local program=$image/usr/bin/stelloprog rule
  [ -x "$program" ] || fail "cmake --install put no program at /usr/bin/stelloprog"
  [ -n "$(find "$image/usr/lib" -name libcp210xmanufacturing.so.1)" ] ||
    fail "cmake --install put no libcp210xmanufacturing.so.1 under /usr/lib"
  rule=$(cd "$image" && find usr/lib/udev/rules.d -name '*.rules' 2>/dev/null | head -1 || true)
  [ -n "$rule" ] || fail "cmake --install put no udev rule under /usr/lib/udev/rules.d"

  cp "$build/vm/cp2102_gadget" "$build/vm/vm_cases" "$image/usr/libexec/stelloprog-vm/"
  local elves=("$program" "$image"/usr/libexec/stelloprog-vm/*)
  mapfile -t -O ${#elves[@]} elves < <(find "$image/usr" -name '*.so*' -type f)
  copy_libraries "${elves[@]}"

  cat >"$image/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
stello:x:1000:1000:an ordinary user:/tmp:/bin/sh
EOF
  cat >"$image/etc/group" <<'EOF'
root:x:0:
plugdev:x:46:stello
stello:x:1000:
EOF
  cat >"$image/etc/vm/env" <<EOF
export STELLOPROG=/usr/bin/stelloprog
export CP2102_GADGET=/usr/libexec/stelloprog-vm/cp2102_gadget
export VM_UDEV_RULE=/$rule
export VM_WORK=/tmp/cases
export VM_FILTER='$filter'
EOF
  (cd "$image" && find . | cpio -o -H newc --quiet) >"$build/vm/image.cpio"
}

boot() {
  local vmlinuz
  vmlinuz=$(find "$kdir/boot" -name 'vmlinuz-*' | head -1)
  rm -f "$console"
  echo "== booting $(basename "$vmlinuz") under QEMU (at most ${time_limit} s)"
  local rc=0
  # KVM is not usable on every machine that runs this; software emulation is.
  timeout "$time_limit" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nodefaults -display none -no-reboot \
    -serial "file:$console" -kernel "$vmlinuz" -initrd "$build/vm/image.cpio" \
    -append "console=ttyS0 loglevel=2 panic=-1" </dev/null || rc=$?
  [ "$rc" -eq 124 ] && echo "vm/run.sh: the VM ran past ${time_limit} s and was stopped" >&2
  return 0
}

report() {
  [ -f "$console" ] || fail "QEMU wrote no console output"
  tr -d '\r' <"$console" >"$console.txt"
  if ! grep -q '^stelloprog-vm: up' "$console.txt"; then
    echo "---- console (last 40 lines)" >&2
    tail -40 "$console.txt" >&2
    fail "THE VM DID NOT COME UP: no init output on the serial console"
  fi
  if ! grep -q '^stelloprog-vm: modules loaded' "$console.txt"; then
    sed -n '/^stelloprog-vm: up/,$p' "$console.txt" >&2
    fail "THE VM CAME UP BUT ITS USB STACK DID NOT"
  fi
  if ! grep -q '^=== stelloprog-vm cases end: exit' "$console.txt"; then
    sed -n '/^=== stelloprog-vm cases begin ===/,$p' "$console.txt" >&2
    fail "THE CASES DID NOT FINISH in the VM"
  fi
  sed -n '/^=== stelloprog-vm cases begin ===/,/^=== stelloprog-vm cases end/p' "$console.txt" | sed '1d;$d'
  local rc
  rc=$(sed -n 's/^=== stelloprog-vm cases end: exit \([0-9]*\) ===$/\1/p' "$console.txt")
  [ "$rc" = 0 ] || fail "cases failed in the VM (exit $rc); console log in $console.txt"
}

if [ ! -x "$build/vm/cp2102_gadget" ] || [ ! -x "$build/vm/vm_cases" ]; then
  fail "$build has no built vm/ targets"
fi
command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing (scripts/setup.sh installs it)"
[ -x /bin/busybox ] || fail "/bin/busybox is missing (scripts/setup.sh installs busybox-static)"
start=$SECONDS
# Lists older than the archive name a kernel it no longer has.
if ! fetch_kernel "$(kernel_package)"; then
  apt-get update -qq >/dev/null || true
  fetch_kernel "$(kernel_package)" || fail "could not download the kernel package"
fi
build_image
boot
report
echo "== VM stage passed in $((SECONDS - start)) s"
