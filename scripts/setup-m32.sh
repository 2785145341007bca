#!/bin/sh
# Makes this x86-64 Debian host able to build and run the 32-bit target:
# the i386 architecture and the i386 packages of the build's libraries, and,
# where the kernel runs no 32-bit program itself, qemu-i386 registered with
# binfmt_misc so that every 32-bit executable (also one a test starts with
# fork/exec) runs under it. Idempotent. Run as root.
# Prints one last line "m32: native" or "m32: emulated (...)"; exits non-zero
# with the reason when the target cannot be run here.
# SELVAR_M32_EMULATE=1 registers the emulator even where the kernel would run
# the programs itself (to try the emulated path on such a host).
set -e
cd "$(dirname "$0")/.."

# libc6-dbg: valgrind needs the i386 loader's symbols for the leak check.
I386_PACKAGES="libwxgtk3.2-dev:i386 libdaemon-dev:i386 libtinyxml-dev:i386 libsystemd-dev:i386 libncurses-dev:i386 libgtest-dev:i386 libc6-dbg:i386"
BINFMT=/proc/sys/fs/binfmt_misc
ENTRY=selvar-i386
QEMU=/usr/bin/qemu-i386
# The i386 ELF header (executables and shared objects); binfmt_misc itself
# reads the \x escapes.
MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "Adding the i386 architecture"
  dpkg --add-architecture i386  # install-deps.sh updates the lists before installing
fi
./scripts/install-deps.sh $I386_PACKAGES

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
printf 'int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n' > "$probe_dir/probe.c"
gcc -m32 -o "$probe_dir/probe" "$probe_dir/probe.c"

# An enabled i386 entry of binfmt_misc takes precedence over the kernel's own
# loader: with one in place the programs run emulated, whatever the kernel can.
emulator_entry() {
  [ -d "$BINFMT" ] || return 1
  for e in "$BINFMT"/*; do
    [ -f "$e" ] || continue
    case $(basename "$e") in register|status) continue ;; esac
    if grep -qx enabled "$e" && grep -q '^interpreter .*qemu-i386' "$e" &&
       grep -q '^magic 7f454c46010101' "$e"; then
      basename "$e"
      return 0
    fi
  done
  return 1
}

if ! entry=$(emulator_entry) && [ "${SELVAR_M32_EMULATE:-0}" != 1 ]; then
  if "$probe_dir/probe" 2>/dev/null; then
    echo "m32: native"
    exit 0
  fi
  echo "A 32-bit program does not run natively here; setting up qemu-i386"
fi

if [ -z "$entry" ]; then
  ./scripts/install-deps.sh qemu-user
  [ -f "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" || {
    echo "m32: cannot mount binfmt_misc at $BINFMT" >&2; exit 1; }
  if [ -f "$BINFMT/$ENTRY" ]; then
    echo 1 > "$BINFMT/$ENTRY"  # ours, switched off
  else
    # F: the kernel opens the emulator now, so it is found in any mount namespace.
    printf ':%s:M::%s:%s:%s:F\n' "$ENTRY" "$MAGIC" "$MASK" "$QEMU" > "$BINFMT/register" || {
      echo "m32: cannot register qemu-i386 with binfmt_misc" >&2; exit 1; }
  fi
  entry=$ENTRY
fi
if ! "$probe_dir/probe"; then
  echo "m32: a 32-bit program does not run, not even through binfmt_misc entry $entry" >&2
  exit 1
fi
echo "m32: emulated (qemu-i386, binfmt_misc entry $entry)"
