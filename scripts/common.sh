# Shared by the scripts: the packages every build needs, installed when
# missing (as root), and the presets in the order they are built.
set -euo pipefail

KIV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KIV_PRESETS=(host x86 arm)
KIV_PACKAGES=(cmake g++ pkg-config binutils
  g++-i686-linux-gnu libc6-i386 lib32stdc++6
  g++-arm-linux-gnueabi qemu-user
  libmodbus-dev libcli11-dev nlohmann-json3-dev iproute2
  libtomlplusplus-dev libmosquitto-dev libssl-dev libsqlite3-dev mosquitto mosquitto-clients
  libcpp-httplib-dev prometheus
  protobuf-c-compiler libprotobuf-c-dev
  googletest strace clang libclang-rt-14-dev
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

# What kiv-gateway links beyond the cross toolchains' libc and libstdc++:
# libmosquitto with the libssl it needs, toml++, SQLite and protobuf-c. Debian's multiarch
# cannot install them beside the host's packages (libssl3 of each
# architecture must be of the same version, and the mirror's seldom are), so
# each cross build gets them unpacked into a tree of its own.
KIV_SYSROOT_PACKAGES=(libmosquitto-dev libmosquitto1 libssl3 libssl-dev libtomlplusplus-dev libtomlplusplus3
  libsqlite3-dev libsqlite3-0
  libcpp-httplib-dev libcpp-httplib0.11 zlib1g zlib1g-dev libbrotli1 libbrotli-dev
  libprotobuf-c-dev libprotobuf-c1)

# sysroot_versions ARCH: "package:ARCH=version" of each, as apt would
# download it (one apt-cache run: each reads all of apt's lists).
sysroot_versions() {
  apt-cache policy "${KIV_SYSROOT_PACKAGES[@]/%/:$1}" 2>/dev/null | awk '
    /^[^ ]/ { sub(/:$/, ""); package = $0 }
    $1 == "Candidate:" && $2 != "(none)" { print package "=" $2; n++ }
    END { exit n == '${#KIV_SYSROOT_PACKAGES[@]}' ? 0 : 1 }'
}

# ensure_sysroot ARCH (armel, i386): build/sysroot-ARCH holds
# KIV_SYSROOT_PACKAGES of that architecture, downloaded with apt-get from the
# configured mirror and unpacked; nothing is done when it holds those
# versions already. Nothing is installed on the host.
ensure_sysroot() {
  local arch=$1 dir="$KIV_ROOT/build/sysroot-$1" want deb link target lib
  local -a pins
  if ! want=$(sysroot_versions "$arch"); then
    # apt knows an architecture's packages only once it is added.
    if [ "$(id -u)" -ne 0 ]; then
      echo "apt has no $arch packages: as root, dpkg --add-architecture $arch && apt-get update" >&2
      return 1
    fi
    dpkg --add-architecture "$arch" && apt-get update >/dev/null &&
      want=$(sysroot_versions "$arch") || return 1
  fi
  if [ -f "$dir/versions" ] && [ "$(cat "$dir/versions")" = "$want" ] && [ -f "$dir/DEBIAN/shlibs" ]; then
    return 0
  fi
  echo "sysroot-$arch: ${want//$'\n'/ }"
  # The callers run it where set -e does not hold: every step says whether
  # it failed, and the versions are written only after all of them.
  rm -rf "$dir" && mkdir -p "$dir/debs" || return 1
  mapfile -t pins <<<"$want"
  (cd "$dir/debs" && apt-get -qq download "${pins[@]}") || return 1
  # Their shlibs and symbols files, all in one DEBIAN/ at the top: for a
  # library under it, dpkg-shlibdeps takes the dependency from there.
  mkdir -p "$dir/DEBIAN" && : >"$dir/DEBIAN/shlibs" && : >"$dir/DEBIAN/symbols" || return 1
  for deb in "$dir"/debs/*.deb; do
    dpkg-deb -x "$deb" "$dir" || return 1
    rm -rf "$dir/control" && dpkg-deb -e "$deb" "$dir/control" || return 1
    for control in shlibs symbols; do
      if [ -f "$dir/control/$control" ]; then
        sed '$a\' "$dir/control/$control" >>"$dir/DEBIAN/$control" || return 1
      fi
    done
  done
  rm -rf "$dir/control"
  # Links to absolute paths would lead out of the tree, to the host's files.
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$dir$target")" "$link" || return 1
  done < <(find "$dir/usr" -type l -lname '/*' -print0)
  # So would the absolute paths in a linker script that stands for a library.
  while IFS= read -r -d '' lib; do
    if ! cmp -s -n 4 "$lib" <(printf '\177ELF'); then
      sed -i -E "s#([ (])/(usr/)?lib/#\\1$dir/\\2lib/#g" "$lib" || return 1
    fi
  done < <(find "$dir/usr/lib" -type f -name '*.so' -print0)
  echo "$want" >"$dir/versions"
}

# The cross builds' gateway links the libraries of their sysroot.
preset_sysroot() {
  case $1 in
    arm | deb-armel) ensure_sysroot armel ;;
    x86 | deb-i386) ensure_sysroot i386 ;;
  esac
}

# configure_preset PRESET [CMAKE-OPTION...]: with every part that the preset
# leaves to AUTO required, so that a missing package fails here instead of
# leaving the gateway, a test or a manual page out.
configure_preset() {
  local preset=$1
  shift
  preset_sysroot "$preset" || return 1
  cmake --preset "$preset" -DKIV_REQUIRE_ALL=ON "$@" >/dev/null
}

build_preset() {
  configure_preset "$1" || return 1
  cmake --build --preset "$1"
}

# npm_locked SRC DIR: the npm packages that SRC/package-lock.json pins, in
# DIR/node_modules; nothing is done when that lock is installed there
# already. node and npm from Debian when the machine has none.
npm_locked() {
  local src=$1 dir=$2
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    install_missing nodejs npm || return 1
  fi
  if [ -d "$dir/node_modules" ] && cmp -s "$src/package-lock.json" "$dir/installed.lock"; then
    return 0
  fi
  rm -f "$dir/installed.lock"
  mkdir -p "$dir" && cp "$src/package.json" "$src/package-lock.json" "$dir/" || return 1
  # The packages' install scripts build nothing the tests need; playwright-core
  # downloads no browser (it drives /usr/bin/chromium).
  npm ci --prefix "$dir" --ignore-scripts --no-audit --no-fund --loglevel=error >/dev/null || return 1
  cp "$src/package-lock.json" "$dir/installed.lock"
}

# The gateway tests' Sparkplug B peer, sparkplug-payload, in build/npm.
ensure_node_packages() {
  npm_locked "$KIV_ROOT/tests/gateway/sparkplug" "$KIV_ROOT/build/npm"
}

# The web console's browser test: Debian's chromium, and playwright-core in
# build/npm-web (NODE_PATH for the test).
ensure_web_test_packages() {
  install_missing chromium || return 1
  npm_locked "$KIV_ROOT/tests/web" "$KIV_ROOT/build/npm-web"
}

# run_web_test: the console's browser test against the host build's
# kiv-gateway, zrm-sim and kivtool.
run_web_test() {
  NODE_PATH="$KIV_ROOT/build/npm-web/node_modules" \
    KIV_GATEWAY="$KIV_ROOT/build/host/gateway/kiv-gateway" ZRM_SIM="$KIV_ROOT/build/host/sim/zrm-sim" \
    KIVTOOL="$KIV_ROOT/build/host/tools/kivtool" MOSQUITTO="$(command -v mosquitto || echo /usr/sbin/mosquitto)" \
    node "$KIV_ROOT/tests/web/console.test.js"
}
