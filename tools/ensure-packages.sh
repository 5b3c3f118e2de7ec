#!/usr/bin/env bash
# ensure-packages.sh -- installs the Debian packages a part of the build
# needs, when they are missing.
#
#   tools/ensure-packages.sh GROUP...
#
#   windows          the Windows leg: the 32-bit mingw-w64 cross compiler (its
#                    -posix flavour), always, as that build ships; Wine for
#                    the build this machine can test (tools/windows-bits.sh):
#                    32-bit Wine, or on a machine that cannot run 32-bit
#                    programs the 64-bit cross compiler and wine64; and `ip`
#                    with the right to make a network namespace.
#   shared-registry  the shared registry on etcd: etcd and etcdctl for the
#                    tests, cpp-httplib, nlohmann-json and pkg-config for the
#                    build. Without them the build leaves the mode out.
#   package          the Debian package: dpkg-shlibdeps (dpkg-dev), file, and
#                    systemd-analyze to check the unit.
#   netfilter        nft (nftables), with which the tests drop one
#                    connection's packets inside their own network namespace.
#
# Missing packages are installed when we are root with apt-get; otherwise one
# line says what is missing and that the group is skipped.
#
# Exit status: 0 ready; 10 skipped (not under CI); 1 skipped under CI=true,
# where a part that cannot be tested is a failure rather than a quiet pass.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive

native_arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
# wine32 is an i386 package; on amd64 it comes from the i386 architecture.
wine32_package=wine32
[ "$native_arch" = amd64 ] && wine32_package=wine32:i386

missing_windows() {
    if ! command -v i686-w64-mingw32-g++-posix >/dev/null ||
        ! command -v i686-w64-mingw32-gcc-posix >/dev/null; then
        echo g++-mingw-w64-i686
    fi
    command -v wine >/dev/null || echo wine
    if [ "$windows_bits" = 64 ]; then
        if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
            ! command -v x86_64-w64-mingw32-gcc-posix >/dev/null; then
            echo g++-mingw-w64-x86-64-posix
        fi
        [ -x /usr/lib/wine/wine64 ] || echo wine64
    else
        [ -x /usr/lib/wine/wine ] || echo "$wine32_package"
    fi
    command -v ip >/dev/null || echo iproute2
}

missing_shared_registry() {
    command -v etcd >/dev/null || echo etcd-server
    command -v etcdctl >/dev/null || echo etcd-client
    command -v pkg-config >/dev/null || echo pkg-config
    [ -f /usr/include/httplib.h ] || echo libcpp-httplib-dev
    [ -f /usr/include/nlohmann/json.hpp ] || echo nlohmann-json3-dev
}

missing_package() {
    command -v dpkg-shlibdeps >/dev/null || echo dpkg-dev
    command -v file >/dev/null || echo file
    command -v systemd-analyze >/dev/null || echo systemd
}

missing_netfilter() {
    command -v nft >/dev/null || [ -x /usr/sbin/nft ] || echo nftables
}

missing_for() {
    case "$1" in
    windows) missing_windows ;;
    shared-registry) missing_shared_registry ;;
    package) missing_package ;;
    netfilter) missing_netfilter ;;
    *)
        echo "ensure-packages.sh: unknown group $1" >&2
        exit 2
        ;;
    esac
}

missing_packages() {
    local group
    for group in "$@"; do missing_for "$group"; done | tr '\n' ' ' | sed 's/ $//'
}

skip() {
    echo "$groups skipped: $1"
    if [ "${CI:-}" = true ]; then exit 1; fi
    exit 10
}

install_packages() {
    # $1: the packages, space-separated. Returns non-zero when apt fails.
    case " $1 " in
    *" wine32:i386 "*)
        dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
        ;;
    esac
    apt-get update -q
    # shellcheck disable=SC2086  # the list is meant to split into words
    apt-get install -y -q $1
}

[ $# -gt 0 ] || { echo "usage: tools/ensure-packages.sh GROUP..." >&2; exit 2; }
groups="$*"

windows_bits=32
case " $groups " in
*" windows "*) windows_bits=$("$(dirname "$0")/windows-bits.sh" | cut -f1) ;;
esac

missing=$(missing_packages "$@")
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        skip "missing packages: $missing (install them as root with apt-get)"
    fi
    echo "installing for $groups: $missing"
    install_packages "$missing" </dev/null || true
    missing=$(missing_packages "$@")
    if [ -n "$missing" ]; then
        skip "missing packages: $missing (apt-get could not install them)"
    fi
fi

# The Windows leg runs wineserver and the tests in a network namespace.
case " $groups " in
*" windows "*)
    unshare -n true 2>/dev/null || skip "cannot create a network namespace (unshare -n needs root)"
    ;;
esac
exit 0
