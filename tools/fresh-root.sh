#!/usr/bin/env bash
# A newcomer's first run on stock Debian, repeated in a fresh root:
#   sudo tools/fresh-root.sh bookworm    # or trixie
# makes a minimal Debian root with debootstrap (kept for later runs), installs
# only what a newcomer has (make, git, ca-certificates, python3), clones the
# committed state of this checkout's branch into it and runs the README's two
# commands, `make test` then `make demo`, as root with a clean environment.
# Needs root and debootstrap; ROOT_DIR, MIRROR (default: the Debian archive of
# this machine's apt sources), BRANCH and COMMANDS (the make targets, in order;
# default "test demo") override the defaults.
set -euo pipefail
suite=${1:?usage: tools/fresh-root.sh bookworm|trixie}
here=$(cd "$(dirname "$0")/.." && pwd)
root=${ROOT_DIR:-/var/tmp/vesk-roots/$suite}
# The Debian archive this machine's apt uses: the first source, in sources.list
# or the deb822 .sources files, whose address ends in /debian.
apt_mirror() {
  { sed -nE 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\2/p' \
      /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    sed -nE 's/^[[:space:]]*URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
  } | grep -m1 -E '/debian/?$' || true
}
mirror=${MIRROR:-$(apt_mirror)}
[ -n "$mirror" ] || { echo "fresh-root: no Debian archive in this machine's apt sources; set MIRROR" >&2; exit 1; }
branch=${BRANCH:-$(git -C "$here" rev-parse --abbrev-ref HEAD)}
gitdir=$(cd "$here" && cd "$(git rev-parse --git-common-dir)" && pwd)

[ "$(id -u)" = 0 ] || { echo "fresh-root: run as root (debootstrap, mount, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "fresh-root: install debootstrap" >&2; exit 1; }

[ -x "$root/usr/bin/apt-get" ] || debootstrap --variant=minbase "$suite" "$root" "$mirror"

mkdir -p "$root/mnt/vesk.git"
cleanup() { umount -R "$root" 2>/dev/null || true; }
trap cleanup EXIT
# The root on a mount of its own, so that "/" in the chroot is a mount point
# and the tests that give a child mounts of its own can make them private.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --bind -o ro "$gitdir" "$root/mnt/vesk.git"
cp /etc/resolv.conf "$root/etc/resolv.conf"

in_root() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive /bin/bash -c "$1"
}
in_root "apt-get update -qq && apt-get install -y -qq make git ca-certificates python3 >/dev/null"
# Certificate authorities added on this host (an intercepting proxy's) go along, so pip reaches PyPI.
if ls /usr/local/share/ca-certificates/*.crt >/dev/null 2>&1; then
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
  in_root "update-ca-certificates >/dev/null"
fi
in_root "rm -rf /root/vesk && git clone -q -b '$branch' /mnt/vesk.git /root/vesk"
in_root "cd /root/vesk && git log -1 --format='testing %h %s' && . /etc/os-release && echo \"on \$PRETTY_NAME\""
for target in ${COMMANDS:-test demo}; do
  in_root "cd /root/vesk && start=\$(date +%s) && make $target && echo \"make $target: \$(( \$(date +%s) - start )) s\""
done
