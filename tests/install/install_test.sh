#!/bin/sh
# Installs the build into a temporary prefix and checks it as a desktop sees it: with the XDG
# directories isolated, xdg-mime names the installed desktop file as the handler of
# quorvaneenroll:// links and that file starts the installed program; both validators pass; the
# icons are there at their sizes.
#   install_test.sh BUILD_DIR SCRATCH_DIR
set -eu
root=$(mktemp -d "$2/install.XXXXXX")
trap 'rm -rf "$root"' EXIT
prefix=$root/usr
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$1" --prefix /usr >/dev/null
desktop=$prefix/share/applications/quorvane-enroll.desktop
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate-tree --no-net "$prefix" || fail "appstreamcli validate-tree"

for size in 16 22 24 32 48 64 128 256; do
    png=$prefix/share/icons/hicolor/${size}x$size/apps/quorvane-enroll.png
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG ${size}x$size" ] || fail "icon $png"
done
[ -s "$prefix/share/icons/hicolor/scalable/apps/quorvane-enroll.svg" ] || fail "SVG icon"

# What the package's post-install does, then the desktop's question, nothing of this machine's.
update-desktop-database "$prefix/share/applications"
mkdir "$root/home" "$root/config" "$root/config-dirs" "$root/data-dirs"
handler=$(env -i PATH="$prefix/bin:/usr/bin:/bin" HOME="$root/home" \
    XDG_DATA_HOME="$prefix/share" XDG_DATA_DIRS="$root/data-dirs" \
    XDG_CONFIG_HOME="$root/config" XDG_CONFIG_DIRS="$root/config-dirs" \
    xdg-mime query default x-scheme-handler/quorvaneenroll)
[ "$handler" = quorvane-enroll.desktop ] || fail "link handler is '$handler'"
program=$(sed -n 's/^Exec=\([^ ]*\) %u$/\1/p' "$desktop")
[ "$(PATH="$prefix/bin" command -v "$program")" = "$prefix/bin/quorvane-enroll" ] ||
    fail "Exec= '$program' is not the installed program"
[ -x "$prefix/bin/quorvane-enroll-doctor" ] || fail "the doctor is not installed"
# The expiry reminder: its timer and service as systemd reads them (the service's program found
# where this installation put it), and the login check as desktops read it.
mkdir "$root/units"
unit=$prefix/lib/systemd/user/quorvane-enroll-reminder
cp "$unit.timer" "$root/units/"
sed "s|^ExecStart=quorvane-enroll |ExecStart=$prefix/bin/quorvane-enroll |" "$unit.service" \
    > "$root/units/quorvane-enroll-reminder.service"
systemd-analyze verify "$root/units/"* || fail "systemd-analyze verify"
desktop-file-validate "$root/etc/xdg/autostart/quorvane-enroll-reminder.desktop" ||
    fail "desktop-file-validate of the autostart entry"
grep -qx 'TryExec=quorvane-enroll' "$root/etc/xdg/autostart/quorvane-enroll-reminder.desktop" ||
    fail "the autostart entry would start a removed program"
echo "installed and registered in $(basename "$prefix")"
