#!/bin/sh
# Builds the Debian package of the build and checks it: lintian finds no warning, Depends come
# from the libraries the programs link, the post-install refreshes the desktop database, and
# the package carries the programs and the desktop file.
#   deb_test.sh BUILD_DIR SCRATCH_DIR
set -eu
root=$(mktemp -d "$2/deb.XXXXXX")
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$1" && cpack -G DEB -B "$root" >/dev/null)
deb=$(ls "$root"/quorvane-enroll_*.deb)
lintian --fail-on warning "$deb" || fail "lintian"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libqt6widgets6 libcurl4 libssl3; do
    echo "$depends" | grep -q "$library (>=" || fail "Depends lacks $library: $depends"
done
dpkg-deb -e "$deb" "$root/control"
grep -q '^ *update-desktop-database -q "/usr/share/applications"$' "$root/control/postinst" ||
    fail "postinst does not refresh the desktop database"
grep -q '^ *deb-systemd-helper --user enable quorvane-enroll-reminder.timer' "$root/control/postinst" ||
    fail "postinst does not enable the reminder's timer"
dpkg-deb -c "$deb" > "$root/files"
for path in usr/bin/quorvane-enroll usr/bin/quorvane-enroll-doctor \
    usr/share/applications/quorvane-enroll.desktop \
    usr/lib/systemd/user/quorvane-enroll-reminder.timer \
    usr/lib/systemd/user/quorvane-enroll-reminder.service \
    etc/xdg/autostart/quorvane-enroll-reminder.desktop usr/share/man/man1/quorvane-enroll.1.gz \
    usr/share/man/man1/quorvane-enroll-doctor.1.gz; do
    grep -q " \./$path\$" "$root/files" || fail "$path missing"
done
echo "$(basename "$deb"): lintian clean; Depends: $depends"
