# Which Windows build this machine's Wine can run. Sourced by setup, test, demo and CI.
#
# vx_choose_arch sets VX_ARCH to i686 or x86_64 and VX_ARCH_WHY to one line saying why. The i686
# build (the one shipped) runs only where the kernel runs 32-bit x86 code natively: some x86-64
# kernels have no IA-32 emulation, and there Wine's 32-bit half cannot start. VX_NO_32BIT=1 takes
# the 64-bit road on any machine, so that it can be tried where the other would work too.

# A static i386 ELF of 93 bytes whose only instructions are exit(0) (eax 1, ebx 0, int 0x80).
VX_I386_PROBE='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'

# An enabled binfmt_misc handler for i386 ELF (qemu-user, say) would run the probe too, yet Wine's
# 32-bit processes do not get far under it: such a machine counts as one without 32-bit code.
vx_i386_emulator() {
  local entry magic
  for entry in /proc/sys/fs/binfmt_misc/*; do
    case ${entry##*/} in register | status) continue ;; esac
    [ -r "$entry" ] && grep -qx enabled "$entry" || continue
    magic=$(sed -n 's/^magic //p' "$entry")
    # The ELF identification of a 32-bit little-endian file, then e_machine 3 (i386) or 6 (i486).
    case $magic in 7f454c4601*) case ${magic:36:4} in 0300 | 0600) echo "${entry##*/}"; return 0 ;; esac ;; esac
  done
  return 1
}

# The test preset (and build/<preset> tree) of a build: test for i686, test-x86_64 for x86_64.
vx_preset() {
  if [ "$1" = i686 ]; then echo test; else echo test-x86_64; fi
}

vx_choose_arch() {
  local probe emulator
  if [ "${VX_NO_32BIT:-}" = 1 ]; then
    VX_ARCH=x86_64 VX_ARCH_WHY="VX_NO_32BIT=1 takes the 64-bit road"
    return
  fi
  if emulator=$(vx_i386_emulator); then
    VX_ARCH=x86_64 VX_ARCH_WHY="32-bit x86 code would run only through the emulator of binfmt_misc entry $emulator"
    return
  fi
  # In the work tree rather than a temporary folder, which may be mounted without execution.
  mkdir -p build
  probe=$(mktemp build/.i386-probe.XXXXXX)
  printf "$VX_I386_PROBE" >"$probe"
  chmod +x "$probe"
  if "$probe" 2>/dev/null; then
    VX_ARCH=i686 VX_ARCH_WHY="this machine runs 32-bit x86 code"
  else
    VX_ARCH=x86_64 VX_ARCH_WHY="this machine runs no 32-bit x86 code"
  fi
  rm -f "$probe"
}
