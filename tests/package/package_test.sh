#!/usr/bin/env bash
# package_test.sh -- the Debian package as an operator gets it.
#
#   package_test.sh BUILD_DIR VERSION
#
# Makes the .deb from BUILD_DIR into a temporary directory and checks its
# files, its configuration files and its Depends field. As root it then
# installs the package, runs the programs, has systemd-analyze check the
# installed unit, and purges the package again whatever happened. Without
# root that second half is skipped (status 77), as it is when something of
# the package is on the machine already, which a purge would take away.
set -euo pipefail

build_dir=$1
version=$2
skip=77

fail() {
    echo "FAIL: $*"
    exit 1
}

for tool in cpack dpkg-deb dpkg-shlibdeps; do
    command -v "$tool" >/dev/null ||
        { echo "skipped: $tool is missing (tools/ensure-packages.sh package installs it)"; exit $skip; }
done

work=$(mktemp -d)
installed=no
cleanup() {
    local status=$?
    if [ "$installed" = yes ] && ! dpkg --purge peerdir >"$work/purge.log" 2>&1; then
        cat "$work/purge.log"
        echo "FAIL: dpkg --purge peerdir"
        status=1
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT

(cd "$build_dir" && cpack -G DEB -B "$work") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack -G DEB"; }
deb="$work/peerdir_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work")"

# Regular files only, with their modes: the binaries must be executable.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $6 }' | sort -k2)
expected="-rw-r--r-- ./etc/default/peerdir
-rw-r--r-- ./etc/peerdir/config.txt
-rw-r--r-- ./lib/systemd/system/peerdir.service
-rwxr-xr-x ./usr/bin/peerdir
-rwxr-xr-x ./usr/bin/peerdir-client
-rw-r--r-- ./usr/share/doc/peerdir/README.md"
[ "$files" = "$expected" ] || fail "the package holds:
$files
expected:
$expected"

dpkg-deb -e "$deb" "$work/control"
conffiles=$(sort "$work/control/conffiles" 2>/dev/null || true)
[ "$conffiles" = "/etc/default/peerdir
/etc/peerdir/config.txt" ] || fail "conffiles: '$conffiles'"

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
*libc6*) ;;
*) fail "Depends does not name libc6: '$depends'" ;;
esac

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped installing the package: it needs root"
    exit $skip
fi
for path in $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }'); do
    [ ! -e "$path" ] ||
        { echo "skipped installing the package: $path exists already"; exit $skip; }
done

installed=yes
dpkg -i "$deb" </dev/null >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }

/usr/bin/peerdir-client --version | grep -qx "peerdir-client $version" ||
    fail "peerdir-client --version: $(/usr/bin/peerdir-client --version 2>&1)"
/usr/bin/peerdir --version | grep -qx "peerdir $version" ||
    fail "peerdir --version: $(/usr/bin/peerdir --version 2>&1)"

# Warnings (an unknown or misspelt setting, say) leave the status at 0, so
# any output at all fails the check.
verify=$(systemd-analyze verify /lib/systemd/system/peerdir.service 2>&1) ||
    fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
echo "installed, ran and verified $(basename "$deb")"
