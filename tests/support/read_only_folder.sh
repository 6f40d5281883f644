#!/bin/sh
# A folder the user cannot write, holding copies of the given files, for the refusal of an
# update where a launcher is installed for every user: read_only_folder.sh mount|umount <dir>
# [files...]. Running as root, Wine writes wherever Unix lets root write, so the folder is a
# tmpfs mounted read-only; when that cannot be had, <dir>.skip says why and the test skips.
set -u
action=$1
dir=$2
shift 2
case $action in
  mount)
    rm -f "$dir.skip"
    mountpoint -q "$dir" 2>/dev/null && umount "$dir"
    rm -rf "$dir"
    mkdir -p "$dir" || exit 1
    if ! reason=$(mount -t tmpfs -o size=16m tmpfs "$dir" 2>&1); then
      rm -rf "$dir"
      mkdir -p "$dir" && cp "$@" "$dir" && chmod 555 "$dir"
      if [ "$(id -u)" = 0 ]; then echo "mount -t tmpfs failed: $reason" >"$dir.skip"; fi
      exit 0
    fi
    cp "$@" "$dir" && mount -o remount,ro "$dir" || echo "the tmpfs could not be made read-only" >"$dir.skip"
    exit 0 ;;
  umount)
    mountpoint -q "$dir" 2>/dev/null && umount "$dir"
    chmod -R u+w "$dir" 2>/dev/null
    rm -rf "$dir" "$dir.skip"
    exit 0 ;;
esac
exit 2
