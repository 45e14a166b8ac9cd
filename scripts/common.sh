# Shared by the scripts: the packages every build needs, installed when
# missing (as root), and the presets in the order they are built.
set -euo pipefail

KIV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIV_PRESETS=(host x86 arm)
KIV_PACKAGES=(cmake g++ pkg-config binutils
  g++-i686-linux-gnu libc6-i386 lib32stdc++6
  g++-arm-linux-gnueabi qemu-user
  libmodbus-dev libcli11-dev nlohmann-json3-dev iproute2
  libtomlplusplus-dev libmosquitto-dev mosquitto mosquitto-clients
  libcpp-httplib-dev prometheus
  strace clang libclang-rt-14-dev
  dpkg-dev lintian systemd
  scdoc help2man man-db groff-base)

# missing_of PACKAGE...: the ones of them that are not installed.
missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# install_missing PACKAGE...: installs those not installed yet (as root).
install_missing() {
  local missing
  mapfile -t missing < <(missing_of "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run as root or install them with apt-get" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
    { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
}

ensure_packages() {
  install_missing "${KIV_PACKAGES[@]}"
}

# The i386 and armel libraries that the packages depend on, from Debian's
# multiarch: dpkg-shlibdeps reads them to compute Depends, and the package
# test builds and runs programs against them.
KIV_FOREIGN_PACKAGES=(libc6:i386 libstdc++6:i386 pkgconf:i386
  libc6:armel libstdc++6:armel pkgconf:armel)

ensure_foreign_libraries() {
  # apt knows these architectures' packages only once they are added.
  if [ "$(id -u)" -eq 0 ] && [ -n "$(missing_of "${KIV_FOREIGN_PACKAGES[@]}")" ]; then
    dpkg --add-architecture i386
    dpkg --add-architecture armel
    apt-get update >/dev/null
  fi
  install_missing "${KIV_FOREIGN_PACKAGES[@]}"
}

build_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
}
