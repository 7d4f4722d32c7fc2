#!/usr/bin/env bash
# On a full file system (a 2 MiB tmpfs): tarvos cp fails with the operating system's reason and removes
# its partial destination, and tarvos bench fails and leaves no sample file. Exits 77 (skipped, with the
# reason) where no tmpfs can be mounted (not root, or no permission in a container).
# Usage: full_fs_test.sh TARVOS_BINARY WORK_DIR
set -euo pipefail
tool=$1
work=$2
rm -rf "$work"
mkdir -p "$work/full"
if [ "$(id -u)" -ne 0 ] || ! mount -t tmpfs -o size=2m tarvos-test "$work/full" 2>"$work/mount-error"; then
  echo "SKIP: cannot mount a small tmpfs here: $(cat "$work/mount-error" 2>/dev/null || echo "not root")"
  rm -rf "$work"
  exit 77
fi
trap 'umount "$work/full"; rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

head -c 8M /dev/urandom >"$work/source"
status=0
"$tool" cp "$work/source" "$work/full/copy" 2>"$work/stderr" || status=$?
[ "$status" -eq 1 ] || fail "cp onto a full file system exited with $status"
grep -q "No space left on device" "$work/stderr" || fail "cp gave no reason: $(cat "$work/stderr")"
grep -q "removed the partial" "$work/stderr" || fail "cp did not say it removed the partial copy"
[ ! -e "$work/full/copy" ] || fail "cp left a partial copy on the full file system"
[ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "cp wrote more than one line: $(cat "$work/stderr")"

status=0
TMPDIR="$work/full" "$tool" bench --quick --large-cache-blocks 1024 >/dev/null 2>"$work/stderr" || status=$?
[ "$status" -eq 1 ] || fail "bench on a full TMPDIR exited with $status"
grep -q "No space left on device" "$work/stderr" || fail "bench gave no reason: $(cat "$work/stderr")"
[ -z "$(ls -A "$work/full")" ] || fail "bench left its sample behind: $(ls -A "$work/full")"

if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "full file system: cp and bench clean up and give the reason"
