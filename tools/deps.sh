#!/usr/bin/env bash
# System prerequisites of `make test` / `make demo`.
#   tools/deps.sh install          the Debian packages they need (installs as root, else names them)
#   tools/deps.sh check PYTHON     each prerequisite once more, one line naming what to install
set -euo pipefail

# What a stock Debian 12 or 13 lacks: compiler, Python headers and venv, OpenSSL
# headers, BLAKE3 sources, GoogleTest, the interop tools, valgrind and clang.
pkgs=(g++ python3-dev python3-venv pkgconf libssl-dev librust-blake3-dev libgtest-dev
      age openssh-client git valgrind clang binutils)

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

apt_install() {
  if [ "$(id -u)" != 0 ]; then
    echo "vesk: missing Debian packages: $*; install them as root (sudo make deps)" >&2
    exit 1
  fi
  echo "installing Debian packages: $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" 2>&1 >/dev/null | { grep -v "^debconf: " >&2 || true; }
}

install() {
  if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
    echo "not a Debian system: install the equivalents of ${pkgs[*]} yourself"
    return 0
  fi
  local missing=()
  for p in "${pkgs[@]}"; do installed "$p" || missing+=("$p"); done
  ((${#missing[@]} == 0)) || apt_install "${missing[@]}"
  # libFuzzer and the sanitizer runtimes for the installed clang: Debian splits
  # them into libclang-rt-<major>-dev (a Recommends, so not always there).
  local major
  major=$(clang -dumpversion | cut -d. -f1)
  if ! installed "libclang-rt-$major-dev" && apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
    apt_install "libclang-rt-$major-dev"
  fi
  echo "Debian packages present (clang $major)"
}

check() {
  local python=$1 fail=0
  need() { echo "vesk: $1: install $2" >&2; fail=1; }
  command -v "$python" >/dev/null || need "$python not found" "python3"
  "$python" -c 'import ensurepip, venv' 2>/dev/null || need "$python cannot make a venv (no ensurepip)" "python3-venv"
  "$python" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null ||
    need "no Python.h for $python" "python3-dev"
  if ! command -v c++ >/dev/null; then
    need "no C++ compiler" "g++"
  elif ! echo '#include <openssl/evp.h>' | c++ -E -x c++ - >/dev/null 2>&1; then
    need "no OpenSSL 3 headers (openssl/evp.h)" "libssl-dev"
  fi
  if [ -n "${BLAKE3_DIR:-}" ]; then
    [ -f "$BLAKE3_DIR/blake3.h" ] || need "BLAKE3_DIR=$BLAKE3_DIR holds no blake3.h" "librust-blake3-dev, or give a BLAKE3_DIR with the C sources"
  elif ! pkg-config --exists libblake3 2>/dev/null && ! ls /usr/share/cargo/registry/blake3-*/c/blake3.h >/dev/null 2>&1; then
    need "no BLAKE3 C sources" "librust-blake3-dev"
  fi
  return "$fail"
}

case "${1:-}" in
  install) install ;;
  check) check "${2:-python3}" ;;
  *) echo "usage: $0 install | check PYTHON" >&2; exit 2 ;;
esac
