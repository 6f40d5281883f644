#!/bin/sh
# A 1 MiB tmpfs for the full-disk test: small_disk.sh mount|umount <dir>.
# Mounting needs root; when it cannot be had, <dir>.skip says why and the test skips.
# The marker file lives on the tmpfs itself, so it exists only while the mount does.
set -u
action=$1
dir=$2
case $action in
  mount)
    rm -f "$dir.skip"
    mountpoint -q "$dir" 2>/dev/null && umount "$dir"
    rm -rf "$dir"
    mkdir -p "$dir" || exit 1
    if [ "$(id -u)" != 0 ]; then
      echo "not root: a tmpfs cannot be mounted" >"$dir.skip"
    elif ! reason=$(mount -t tmpfs -o size=1m tmpfs "$dir" 2>&1); then
      echo "mount -t tmpfs failed: $reason" >"$dir.skip"
    else
      touch "$dir/mounted"
    fi
    exit 0 ;;
  umount)
    mountpoint -q "$dir" 2>/dev/null && umount "$dir"
    rm -rf "$dir" "$dir.skip"
    exit 0 ;;
esac
exit 2
