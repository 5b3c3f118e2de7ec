#!/usr/bin/env bash
# windows-bits.sh -- which Windows build this machine can test under Wine.
#
#   tools/windows-bits.sh        prints 32 or 64, then a tab and the reason
#
# The shipped Windows build is 32-bit, and Wine runs it as a 32-bit Linux
# process. Some kernels have 32-bit emulation switched off, and then every
# i386 program, Wine's 32-bit loader included, fails with "Exec format
# error". The only sure test is to run one: this writes a 96-byte static
# i386 program that exits with status 42 and starts it. Where that fails,
# the Windows leg tests the 64-bit build of the same sources instead.
#
# PEERDIR_WINDOWS_BITS=64 forces the 64-bit path on any machine, so it can
# be tried where 32-bit programs run too; PEERDIR_WINDOWS_BITS=32 forces the
# 32-bit path (which then fails where it cannot run).
set -euo pipefail

case "${PEERDIR_WINDOWS_BITS:-}" in
"") ;;
32 | 64)
    printf '%s\tPEERDIR_WINDOWS_BITS=%s is set\n' "$PEERDIR_WINDOWS_BITS" "$PEERDIR_WINDOWS_BITS"
    exit 0
    ;;
*)
    echo "windows-bits.sh: PEERDIR_WINDOWS_BITS must be 32 or 64, not '$PEERDIR_WINDOWS_BITS'" >&2
    exit 2
    ;;
esac

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
probe=$probe_dir/i386-probe

# ELF header (52 bytes), one loadable segment (32 bytes) covering the whole
# file at 0x08048000, then the code at 0x08048054:
#   mov ebx, 42; mov eax, 1 (exit); int 0x80
{
    printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
    printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
    printf '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
    printf '\x00\x00\x00\x00'
    printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'
    printf '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'
    printf '\xbb\x2a\x00\x00\x00\xb8\x01\x00\x00\x00\xcd\x80'
} >"$probe"
chmod +x "$probe"

status=0
"$probe" 2>/dev/null || status=$?
if [ "$status" -eq 42 ]; then
    printf '32\tthis machine runs 32-bit programs\n'
else
    printf '64\tthis machine cannot run 32-bit programs (a 32-bit probe exited with status %s)\n' "$status"
fi
