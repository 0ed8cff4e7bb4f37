#!/usr/bin/env bash
# Succeeds when this machine can run 32-bit Windows programs under Wine; otherwise prints why
# not. "kernel": only whether the kernel runs 32-bit x86 programs at all. Debian's 32-bit Wine
# (wine32:i386) is itself a 32-bit program, and once it is installed /usr/bin/wine starts it
# for every program, the 64-bit ones included: on a kernel that refuses 32-bit programs (its
# ia32 emulation switched off) it would stop the x64 runs too, so setup.sh asks this first.
set -u

# The smallest i386 program, exit(0), assembled and linked by binutils (which g++ brings).
if ! probe=$(mktemp -d 2>/dev/null); then
    echo "no temporary folder for the 32-bit x86 test program (TMPDIR=${TMPDIR:-/tmp})"
    exit 1
fi
trap 'rm -rf "$probe"' EXIT
trap 'exit 1' HUP INT TERM
printf '.globl _start\n_start:\n\tmovl $1, %%eax\n\txorl %%ebx, %%ebx\n\tint $0x80\n' \
    >"$probe/exit.s"
if ! as --32 -o "$probe/exit.o" "$probe/exit.s" 2>/dev/null ||
    ! ld -m elf_i386 -o "$probe/exit" "$probe/exit.o" 2>/dev/null; then
    echo "binutils cannot make the 32-bit x86 test program (as --32, ld -m elf_i386)"
    exit 1
fi
if ! refusal=$("$probe/exit" 2>&1); then
    echo "this kernel does not run 32-bit x86 programs (${refusal##*: }: it has no ia32 emulation, or has it switched off)"
    exit 1
fi
[ "${1:-}" = kernel ] && exit 0

if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "wine32:i386 is not installed"
    exit 1
fi
exit 0
