#!/usr/bin/env bash
# A clean Debian root for the package test, as a new machine has it.
#   clean_root.sh make ROOT         unpack the base system into ROOT (empty)
#   clean_root.sh run ROOT COMMAND  run COMMAND (sh) as root inside ROOT
# The base system (Debian's minbase of the host's release, with man-db) is
# made once with mmdebstrap from the host's apt sources and kept in
# /var/cache/tesk-package; downloaded packages are kept there too, so that
# later runs download nothing twice. Mounts live in a mount namespace of
# their own and go with it.
set -euo pipefail
cache=${TESK_ROOT_CACHE:-/var/cache/tesk-package}
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
base=$cache/$release-base.tar.zst

case ${1-} in
  make)
    root=$2
    mkdir -p "$cache/archives/partial"
    exec 9>"$cache/lock"
    flock 9
    if [ ! -f "$base" ] || [ ! -s "$base" ]; then
      # mmdebstrap takes the output's format from its name's ending: the
      # temporary name ends in .tar.zst too.
      new=$cache/$release-base.new.tar.zst
      rm -rf "$new"
      sources=()
      for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -s "$f" ] && grep -qs 'debian' "$f" && sources+=("$f")
      done
      mmdebstrap --quiet --variant=minbase --include=man-db --skip=output/mknod \
        "$release" "$new" "${sources[@]}"
      mv "$new" "$base"
    fi
    flock -u 9
    mkdir -p "$root"
    tar -C "$root" --zstd -xf "$base"
    ;;
  run)
    root=$2
    command=$3
    cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    exec unshare --mount --fork -- sh -c '
      set -e
      root=$1 cache=$2 command=$3
      mount -t proc proc "$root/proc"
      mount --rbind /dev "$root/dev"
      mount --bind "$cache/archives" "$root/var/cache/apt/archives"
      exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive /bin/sh -c "$command"
    ' sh "$root" "$cache" "$command"
    ;;
  *)
    echo "usage: clean_root.sh make ROOT | run ROOT COMMAND" >&2
    exit 2
    ;;
esac
