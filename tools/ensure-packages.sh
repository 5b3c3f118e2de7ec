#!/usr/bin/env bash
# ensure-packages.sh -- installs the Debian packages a part of the build
# needs, when they are missing.
#
#   tools/ensure-packages.sh GROUP...
#
#   base             cmake, g++, make and GoogleTest's sources: the plain build.
#   fuzz             clang and its libFuzzer runtime, for the fuzz leg.
#   windows-build    the 32-bit mingw-w64 cross compiler (its -posix flavour),
#                    which builds the shipped Windows zip. No Wine.
#   windows          the Windows leg: windows-build, and Wine for the build
#                    this machine can test (tools/windows-bits.sh): 32-bit
#                    Wine, or on a machine that cannot run 32-bit programs
#                    (or with PEERDIR_WINDOWS_BITS=64) the 64-bit cross
#                    compiler and wine64; and `ip` with the right to make a
#                    network namespace. The leg itself asks through
#                    `tools/windows-bits.sh --install`, which falls back to
#                    the 64-bit build where 32-bit Wine cannot be installed.
#   shared-registry  the shared registry on etcd: etcd and etcdctl for the
#                    tests, cpp-httplib, nlohmann-json and pkg-config for the
#                    build. Without them the build leaves the mode out. The
#                    metrics endpoint builds on the same cpp-httplib, and its
#                    tests run Prometheus and promtool (prometheus).
#   tls              TLS on the clients' port and towards etcd: OpenSSL 3's
#                    headers (libssl-dev), and the openssl command, with
#                    which the tests make their keys and certificates.
#   package          the Debian package: dpkg-shlibdeps (dpkg-dev), file, and
#                    systemd-analyze to check the unit.
#   netfilter        nft (nftables), with which the tests drop one
#                    connection's packets inside their own network namespace.
#
# Each group installs with an apt-get of its own, so packages that one group
# cannot get never cost another group its install; a group that is still
# incomplete is reported in one line naming it alone. Missing packages are
# installed when we are root with apt-get; otherwise one line per group says
# what is missing and that the group is skipped.
#
# The package index is fetched once, before the first install. `apt-get
# update` exits 0 even when some index files failed (a mirror half way
# through a sync, say), so its output is read: a failed index is fetched
# again a few times, a few seconds apart, with apt's own retries on; if it
# still fails, one line names it and the installs go ahead with what was
# fetched.
#
# Exit status: 0 every group ready; 10 a group skipped (not under CI); 1 a
# group skipped under CI=true, where a part that cannot be tested is a
# failure rather than a quiet pass. PEERDIR_PACKAGES_TRY=1 makes a skip 10
# under CI too, for a caller that has a fallback of its own.
set -euo pipefail

export DEBIAN_FRONTEND=noninteractive

native_arch=$(dpkg --print-architecture 2>/dev/null || echo unknown)
# wine32 is an i386 package; on amd64 it comes from the i386 architecture.
wine32_package=wine32
[ "$native_arch" = amd64 ] && wine32_package=wine32:i386

update_tries=3
update_pause_seconds=5

missing_base() {
    command -v cmake >/dev/null || echo cmake
    command -v g++ >/dev/null || echo g++
    command -v make >/dev/null || echo make
    [ -f /usr/src/googletest/googletest/CMakeLists.txt ] || echo googletest
}

missing_fuzz() {
    command -v clang++ >/dev/null || echo clang
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        echo libclang-rt-dev
}

missing_windows_build() {
    if ! command -v i686-w64-mingw32-g++-posix >/dev/null ||
        ! command -v i686-w64-mingw32-gcc-posix >/dev/null; then
        echo g++-mingw-w64-i686
    fi
}

missing_windows() {
    missing_windows_build
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
    if ! command -v prometheus >/dev/null || ! command -v promtool >/dev/null; then
        echo prometheus
    fi
}

missing_tls() {
    [ -f /usr/include/openssl/ssl.h ] || echo libssl-dev
    command -v openssl >/dev/null || echo openssl
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
    base) missing_base ;;
    fuzz) missing_fuzz ;;
    windows-build) missing_windows_build ;;
    windows) missing_windows ;;
    shared-registry) missing_shared_registry ;;
    tls) missing_tls ;;
    package) missing_package ;;
    netfilter) missing_netfilter ;;
    esac
}

missing_packages() {
    missing_for "$1" | tr '\n' ' ' | sed 's/ $//'
}

# The index files one `apt-get update` reported as failed, one per line
# ("bookworm-security/main i386 Packages", say), from its output on stdin.
failed_indexes() {
    sed -n -e 's/^Err:[0-9]* [^ ]* //p' -e 's/^W: Failed to fetch \([^ ]*\).*/\1/p' | sort -u
}

index_fetched=no

# Fetches the package index, again while apt reports index files it could
# not fetch. Never fails: the installs that follow say what they could not get.
refresh_index() {
    local try output failed=""
    for try in $(seq 1 "$update_tries"); do
        output=$(apt-get update -q -o Acquire::Retries=3 </dev/null 2>&1) || true
        failed=$(printf '%s\n' "$output" | failed_indexes)
        if [ -z "$failed" ] && ! printf '%s\n' "$output" | grep -q '^E: '; then
            index_fetched=yes
            return 0
        fi
        [ "$try" -lt "$update_tries" ] && sleep "$update_pause_seconds"
    done
    [ -n "$failed" ] || failed=$(printf '%s\n' "$output" | grep '^E: ' | head -n 1)
    echo "ensure-packages.sh: the package index still failed after $update_tries tries:" \
        "$(printf '%s' "$failed" | tr '\n' ';' | sed 's/;/; /g') -- installing from what was fetched"
    index_fetched=yes
}

i386_added_here=no

# Adds the i386 architecture when the packages need it. Its index must then
# be fetched, even when an update already ran.
add_i386_if_needed() {
    case " $1 " in
    *":i386 "*)
        if ! dpkg --print-foreign-architectures | grep -qx i386; then
            dpkg --add-architecture i386
            i386_added_here=yes
            index_fetched=no
        fi
        ;;
    esac
}

# An i386 architecture added for an install that then got nothing from it is
# taken away again, so later apt-get runs do not keep fetching its index.
drop_unused_i386() {
    [ "$i386_added_here" = yes ] || return 0
    if ! dpkg-query -W -f '${Architecture}\n' 2>/dev/null | grep -qx i386; then
        dpkg --remove-architecture i386 && i386_added_here=no
    fi
}

apt_error=""

# $1: the packages, space-separated. Returns non-zero when apt fails, with
# apt's last error line in apt_error.
install_packages() {
    local log status=0
    add_i386_if_needed "$1"
    [ "$index_fetched" = yes ] || refresh_index
    log=$(mktemp)
    # shellcheck disable=SC2086  # the list is meant to split into words
    apt-get install -y -q -o Acquire::Retries=3 $1 </dev/null 2>&1 | tee "$log" || status=$?
    apt_error=$(grep '^E: ' "$log" | tail -n 1 | sed 's/^E: //')
    rm -f "$log"
    return "$status"
}

skipped=no

skip() {
    echo "$1 skipped: $2"
    skipped=yes
}

ensure_group() {
    local group=$1 missing
    missing=$(missing_packages "$group")
    if [ -n "$missing" ]; then
        if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
            skip "$group" "missing packages: $missing (install them as root with apt-get)"
            return 0
        fi
        echo "installing for $group: $missing"
        apt_error=""
        install_packages "$missing" || true
        missing=$(missing_packages "$group")
        if [ -n "$missing" ]; then
            [ "$group" = windows ] && drop_unused_i386
            skip "$group" "missing packages: $missing (apt-get could not install them${apt_error:+: $apt_error})"
            return 0
        fi
    fi
    # The Windows leg runs wineserver and the tests in a network namespace.
    if [ "$group" = windows ] && ! unshare -n true 2>/dev/null; then
        skip "$group" "cannot create a network namespace (unshare -n needs root)"
    fi
}

[ $# -gt 0 ] || { echo "usage: tools/ensure-packages.sh GROUP..." >&2; exit 2; }
for group in "$@"; do
    case "$group" in
    base | fuzz | windows-build | windows | shared-registry | tls | package | netfilter) ;;
    *)
        echo "ensure-packages.sh: unknown group $group" >&2
        exit 2
        ;;
    esac
done

windows_bits=32
case " $* " in
*" windows "*) windows_bits=$("$(dirname "$0")/windows-bits.sh" | cut -f1) ;;
esac

for group in "$@"; do ensure_group "$group"; done

if [ "$skipped" = yes ]; then
    if [ "${CI:-}" = true ] && [ "${PEERDIR_PACKAGES_TRY:-}" != 1 ]; then exit 1; fi
    exit 10
fi
exit 0
