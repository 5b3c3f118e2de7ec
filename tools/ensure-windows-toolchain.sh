#!/usr/bin/env bash
# ensure-windows-toolchain.sh -- makes sure the Windows test leg can run.
#
# The leg needs the mingw-w64 cross compiler (its -posix flavour), 32-bit
# Wine, `ip` to bring up loopback inside a network namespace, and the right to
# make one. Missing packages are installed when we are root with apt-get;
# otherwise one line says what is missing and that the leg is skipped.
#
# Exit status: 0 ready; 10 skipped (not under CI); 1 skipped under CI=true,
# where a leg that cannot run is a failure rather than a quiet pass.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive

native_arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
# wine32 is an i386 package; on amd64 it comes from the i386 architecture.
wine32_package=wine32
[ "$native_arch" = amd64 ] && wine32_package=wine32:i386

missing_packages() {
    local absent=()
    if ! command -v i686-w64-mingw32-g++-posix >/dev/null ||
        ! command -v i686-w64-mingw32-gcc-posix >/dev/null; then
        absent+=(g++-mingw-w64-i686)
    fi
    command -v wine >/dev/null || absent+=(wine)
    [ -x /usr/lib/wine/wine ] || absent+=("$wine32_package")
    command -v ip >/dev/null || absent+=(iproute2)
    echo "${absent[*]}"
}

skip() {
    echo "win32 test leg skipped: $1"
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 10
}

install_packages() {
    # $1: the packages, space-separated. Returns non-zero when apt fails.
    if [ "$wine32_package" = wine32:i386 ] &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    # shellcheck disable=SC2086  # the list is meant to split into words
    apt-get install -y -q $1
}

missing=$(missing_packages)
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        skip "missing packages: $missing (install them as root with apt-get)"
    fi
    echo "installing for the win32 test leg: $missing"
    install_packages "$missing" </dev/null || true
    missing=$(missing_packages)
    if [ -n "$missing" ]; then
        skip "missing packages: $missing (apt-get could not install them)"
    fi
fi

if ! unshare -n true 2>/dev/null; then
    skip "cannot create a network namespace (unshare -n needs root)"
fi
