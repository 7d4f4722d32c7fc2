#!/usr/bin/env bash
# tarvos cat and tarvos cp give byte-identical copies of generated files, page multiples or not, and
# fail with one line and a non-zero status on bad arguments.
# Usage: cat_cp_test.sh TARVOS_BINARY WORK_DIR
set -euo pipefail
tool=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# Sizes around the page and the tool's 1 MiB chunk, plus several chunks with a ragged tail.
sizes=(0 1 904 4095 4096 4097 65536 1048575 1048576 1048577 3146632 9437184 9441280)
for size in "${sizes[@]}"; do
  src="$work/src-$size"
  head -c "$size" /dev/urandom >"$src"
  if ! "$tool" cat "$src" | cmp -s - "$src"; then
    fail "cat of a $size-byte file differs"
  fi
  dst="$work/dst-$size"
  if ! "$tool" cp "$src" "$dst"; then
    fail "cp of a $size-byte file failed"
  elif ! cmp -s "$src" "$dst"; then
    fail "cp of a $size-byte file differs"
  fi
done

# Several files in one cat, and a copy over a longer existing file (which must be replaced).
if ! "$tool" cat "$work/src-4097" "$work/src-0" "$work/src-1048577" |
  cmp -s - <(cat "$work/src-4097" "$work/src-1048577"); then
  fail "cat of several files differs"
fi
if ! "$tool" cp "$work/src-4097" "$work/dst-9441280" || ! cmp -s "$work/src-4097" "$work/dst-9441280"; then
  fail "cp over a longer file left something of it behind"
fi

# Errors: non-zero status and exactly one line on standard error.
expect_error() {
  local what=$1
  shift
  local err="$work/stderr"
  if "$@" >/dev/null 2>"$err"; then
    fail "$what: exit status 0"
  elif [ "$(wc -l <"$err")" -ne 1 ]; then
    fail "$what: wanted one line of error, got: $(cat "$err")"
  fi
}
expect_error "cat of a missing file" "$tool" cat "$work/missing"
expect_error "cat of a directory" "$tool" cat "$work"
expect_error "cp from a missing file" "$tool" cp "$work/missing" "$work/out"
expect_error "cp into a missing directory" "$tool" cp "$work/src-1" "$work/no/such/dir/out"
expect_error "cp onto itself" "$tool" cp "$work/src-4096" "$work/src-4096"
expect_error "cp with one argument" "$tool" cp "$work/src-1"
expect_error "unknown command" "$tool" frobnicate
expect_error "unknown option" "$tool" cat --frobnicate
if [ "$(id -u)" -ne 0 ]; then
  chmod 000 "$work/src-4096"
  expect_error "cat without permission" "$tool" cat "$work/src-4096"
  chmod 644 "$work/src-4096"
fi
for command in "" bench cat cp; do
  if ! "$tool" $command --help | grep -q "usage: tarvos"; then
    fail "'tarvos $command --help' prints no usage"
  fi
done

rm -rf "$work"
if [ "$failures" -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "cat and cp: all checks passed"
