#!/bin/sh
# The XFS rows: an XFS image with reflink on a loop device, made for the run
# on the disk medium and unmounted and deleted after it, whatever happens.
# Only root can mount it; anyone else gets the rows marked skipped.
#   bench/xfs.sh BUILD-DIRECTORY BENCH-BUILD-DIRECTORY
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
tools=$2
if [ "$(id -u)" -ne 0 ]; then
  exec lua5.2 "$here/xfs_bench.lua" skipped "not root"
fi
# Setting up can fail on a machine without loop devices or XFS; the rows
# then say why, and the other benchmarks still count.
unmeasured() {
  lua5.2 "$here/xfs_bench.lua" failed "$1"
  exit 0
}
"$here/../tools/install-deps.sh" xfsprogs >&2 || unmeasured "xfsprogs could not be installed"

work=${BENCH_DISK:-/var/tmp}
image=$(mktemp "$work/update-bench-xfs.XXXXXX")
mount=$(mktemp -d "$work/update-bench-xfs-mount.XXXXXX")
cleanup() {
  if mountpoint -q "$mount"; then umount "$mount" || umount -l "$mount"; fi
  rmdir "$mount" || true
  rm -f "$image"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

truncate -s 2G "$image" || unmeasured "truncate -s 2G failed"
mkfs.xfs -q -m reflink=1 -f "$image" >&2 || unmeasured "mkfs.xfs -m reflink=1 failed"
mount -o loop "$image" "$mount" >&2 || unmeasured "mount -o loop failed"
lua5.2 "$here/xfs_bench.lua" "$build" "$tools" "$mount"
