#!/usr/bin/env bash
# windows-bits.sh -- which Windows build this machine can test under Wine.
#
#   tools/windows-bits.sh            prints 32 or 64, then a tab and the reason
#   tools/windows-bits.sh --install  the same, after installing what the
#                                    Windows leg needs to test that build
#                                    (tools/ensure-packages.sh windows)
#
# The shipped Windows build is 32-bit, and Wine runs it as a 32-bit Linux
# process. Some kernels have 32-bit emulation switched off, and then every
# i386 program, Wine's 32-bit loader included, fails with "Exec format
# error". The only sure test is to run one: this writes a 96-byte static
# i386 program that exits with status 42 and starts it. Where that fails,
# the Windows leg tests the 64-bit build of the same sources instead.
#
# With --install, a machine that runs 32-bit programs but cannot get 32-bit
# Wine (an i386 package index that a mirror fails to serve, say) falls back
# to the 64-bit build as well, and the reason says why. The installer's own
# output goes to build/windows-packages.log, so the leg's first line is the
# reason; a group that cannot be installed at all shows its lines on stderr
# and the installer's exit status (10 skipped, 1 under CI=true).
#
# PEERDIR_WINDOWS_BITS=64 forces the 64-bit path on any machine, so it can
# be tried where 32-bit programs run too; PEERDIR_WINDOWS_BITS=32 forces the
# 32-bit path (which then fails where it cannot run).
set -euo pipefail

here=$(dirname "$0")

install=no
case "${1:-}" in
"") ;;
--install) install=yes ;;
*)
    echo "usage: tools/windows-bits.sh [--install]" >&2
    exit 2
    ;;
esac

case "${PEERDIR_WINDOWS_BITS:-}" in
"" | 32 | 64) ;;
*)
    echo "windows-bits.sh: PEERDIR_WINDOWS_BITS must be 32 or 64, not '$PEERDIR_WINDOWS_BITS'" >&2
    exit 2
    ;;
esac

# Runs the installer for the given bits, its output appended to the log.
# Prints nothing; returns the installer's status.
install_for() {
    local status=0
    PEERDIR_WINDOWS_BITS=$1 "$here/ensure-packages.sh" windows >>"$log" 2>&1 </dev/null || status=$?
    return "$status"
}

# The installer's one-line verdict on the windows group, from the log.
skip_line() {
    grep '^windows skipped: ' "$log" | tail -n 1
}

# Installs for the build that $1 (bits) and $2 (reason) name, and prints
# the bits and reason of the build the leg is then to test.
install_and_print() {
    local bits=$1 reason=$2 status=0 why
    mkdir -p build
    log=build/windows-packages.log
    : >"$log"
    if [ "$bits" = 64 ] || [ -n "${PEERDIR_WINDOWS_BITS:-}" ]; then
        install_for "$bits" || status=$?
    else
        PEERDIR_PACKAGES_TRY=1 install_for 32 || status=$?
        if [ "$status" -eq 10 ] && skip_line | grep -q 'wine32'; then
            why=$(skip_line | sed -n 's/.*(apt-get could not install them: \(.*\))$/\1/p')
            [ -n "$why" ] || why=$(skip_line | sed 's/^windows skipped: //')
            reason="$reason, but 32-bit Wine could not be installed (apt: $why)"
            bits=64 status=0
            install_for 64 || status=$?
        elif [ "$status" -eq 10 ] && [ "${CI:-}" = true ]; then
            status=1
        fi
    fi
    if [ "$status" -ne 0 ]; then
        grep -E '^(windows skipped|ensure-packages.sh):' "$log" >&2 || tail -n 20 "$log" >&2
        exit "$status"
    fi
    printf '%s\t%s\n' "$bits" "$reason"
}

if [ -n "${PEERDIR_WINDOWS_BITS:-}" ]; then
    reason="PEERDIR_WINDOWS_BITS=$PEERDIR_WINDOWS_BITS is set"
    if [ "$install" = yes ]; then
        install_and_print "$PEERDIR_WINDOWS_BITS" "$reason"
    else
        printf '%s\t%s\n' "$PEERDIR_WINDOWS_BITS" "$reason"
    fi
    exit 0
fi

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
    bits=32 reason="this machine runs 32-bit programs"
else
    bits=64 reason="this machine cannot run 32-bit programs (a 32-bit probe exited with status $status)"
fi
if [ "$install" = yes ]; then
    install_and_print "$bits" "$reason"
else
    printf '%s\t%s\n' "$bits" "$reason"
fi
