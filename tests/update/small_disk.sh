#!/usr/bin/env bash
# small_disk.sh mount|unmount DIR: a 16 MiB file system at DIR, on which the update tests fill
# the disk in the middle of an install. Mounting needs root; without it the disk-full case is
# skipped, and the test says why.
set -u
dir=$2
case "$1" in
  mount)
    mkdir -p "$dir"
    if ! mountpoint -q "$dir" && ! mount -t tmpfs -o size=16m tmpfs "$dir" 2>/dev/null; then
      echo "could not mount a small file system at $dir (not root?)"
      exit 0
    fi
    touch "$dir/.small-disk"
    ;;
  unmount)
    if mountpoint -q "$dir"; then umount -l "$dir"; fi
    ;;
esac
exit 0
