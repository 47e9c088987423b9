#!/usr/bin/env bash
# Installs every build, test and run dependency on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  # toolchain
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config clang-format
  # libraries
  qt6-base-dev qt6-svg-dev qt6-translations-l10n libxcb1-dev libssl-dev libcurl4-openssl-dev libp11-kit-dev p11-kit
  libarchive-dev libjpeg-dev
  # the card service's client library: what the readers hold when no token library shows a token
  libpcsclite-dev
  # the desktop's proxy: libproxy with its GNOME settings reader and its PAC runner
  libproxy-dev libproxy1-plugin-gsettings libproxy1-plugin-webkit
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  softhsm2 opensc openssl curl libengine-pkcs11-openssl
  # a card that no token library knows, for what the readers tell (vsmartcard's iso7816 card),
  # and another program at the card (pyscard)
  vsmartcard-vpicc python3-pycryptodome python3-pyscard
  # a company proxy for the network tests
  tinyproxy
  # token stacks beside SoftHSM2 for the tokens tests and the demo (tests/tokens/): a software
  # TPM behind its resource manager on a private bus, and opencryptoki's software token
  swtpm tpm2-abrmd libtss2-tcti-tabrmd0 dbus-daemon tpm2-tools libtpm2-pkcs11-1
  libtpm2-pkcs11-tools opencryptoki procps
  # a card in a reader: pcscd, vsmartcard's virtual reader for the card simulator, OpenSC's
  # tools to initialise it (opensc, above), a private mount namespace for pcscd's socket
  pcscd vsmartcard-vpcd libpcsclite-dev pcsc-tools util-linux
  # a PIV card's own token library beside OpenSC, for the simulated PIV card
  ykcs11
  # coverage and mutation runs
  gcovr python3
  # GUI at run time and screenshots
  fonts-roboto fonts-crosextra-carlito xvfb xauth libgl1 libegl1 libxkbcommon-x11-0
  # driving the program from outside (the headless demo, the keys and clicks test): keys and
  # clicks, screenshots of each screen, window properties
  xdotool imagemagick x11-utils
  # the window on Wayland: a headless compositor and Qt's Wayland platform
  weston qt6-wayland
  # installation and the Debian package: validators, the desktop's link handler, packaging
  desktop-file-utils appstream xdg-utils dpkg-dev lintian
  # the expiry reminder: its units checked, a stand-in notification service on a private bus, and
  # the D-Bus library's own bus starter, which the reminder must never set off
  systemd python3-dbus python3-gi dbus-x11
  # the accessibility walk: the accessibility bus and registry, and a screen reader's view of them
  at-spi2-core python3-pyatspi
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
