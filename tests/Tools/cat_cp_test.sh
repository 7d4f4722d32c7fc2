#!/usr/bin/env bash
# tarvos cat and tarvos cp give byte-identical copies of generated files, page multiples or not, behave
# like cat(1) and cp(1) where it matters (files whose size says nothing, '-' and '--', permissions, holes,
# a directory as DST, an interrupted copy), and fail with one line: status 1 for a failure, 2 for a
# command line that cannot be used.
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

# Files whose size says nothing: read to their end, like cat(1).
for special in /proc/version /sys/kernel/mm/transparent_hugepage/enabled; do
  [ -r "$special" ] || continue
  cat "$special" >"$work/expected"  # cmp -s would believe the size these files claim
  if ! "$tool" cat "$special" | cmp -s - "$work/expected"; then
    fail "cat of $special differs from its content"
  fi
  if ! "$tool" cp "$special" "$work/special" || ! cmp -s "$work/expected" "$work/special"; then
    fail "cp of $special differs from its content"
  fi
done

# '-' is standard input (in cat, between files too); '--' ends the options.
printf 'middle' >"$work/stdin"
if ! "$tool" cat "$work/src-1" - "$work/src-904" <"$work/stdin" |
  cmp -s - <(cat "$work/src-1" "$work/stdin" "$work/src-904"); then
  fail "cat with '-' among files differs"
fi
head -c 300000 /dev/urandom >"$work/piped"
if ! cat "$work/piped" | "$tool" cat | cmp -s - "$work/piped"; then
  fail "cat without FILE does not copy standard input"
fi
cp "$work/src-4097" "$work/-dash"
if ! (cd "$work" && "$tool" cat -- -dash | cmp -s - ./-dash); then
  fail "cat -- -dash differs"
fi
if ! "$tool" cp - "$work/from-stdin" <"$work/src-1048577" || ! cmp -s "$work/src-1048577" "$work/from-stdin"; then
  fail "cp - DST differs"
fi
if ! "$tool" cp "$work/src-65536" - | cmp -s - "$work/src-65536"; then
  fail "cp SRC - differs"
fi

# Permissions: a new copy gets the source's (less the umask); an existing one keeps its own.
(
  umask 022
  cp "$work/src-4097" "$work/exec" && chmod 750 "$work/exec"
  "$tool" cp "$work/exec" "$work/exec-copy"
  [ "$(stat -c %a "$work/exec-copy")" = 750 ] || fail "cp made mode $(stat -c %a "$work/exec-copy") of 750"
  touch "$work/kept" && chmod 600 "$work/kept"
  "$tool" cp "$work/exec" "$work/kept"
  [ "$(stat -c %a "$work/kept")" = 600 ] || fail "cp changed an existing file's mode to $(stat -c %a "$work/kept")"
)

# A directory as DST: the copy gets SRC's name there.
mkdir "$work/into"
if ! "$tool" cp "$work/src-4095" "$work/into" || ! cmp -s "$work/src-4095" "$work/into/src-4095"; then
  fail "cp into a directory"
fi

# Holes stay holes: 64 MiB with 3 data pieces (one at the very end) takes little room in the copy.
sparse="$work/sparse"
truncate -s 64M "$sparse"
for at in 0 20000000 67108860; do
  printf 'data' | dd of="$sparse" bs=1 seek="$at" conv=notrunc status=none
done
if [ "$(stat -c %b "$sparse")" -lt 4096 ]; then
  if ! "$tool" cp "$sparse" "$work/sparse-copy" || ! cmp -s "$sparse" "$work/sparse-copy"; then
    fail "cp of a sparse file differs"
  elif [ "$(stat -c %b "$work/sparse-copy")" -gt 8192 ]; then
    fail "cp of a sparse file filled its holes: $(stat -c %b "$work/sparse-copy") blocks"
  fi
else
  echo "SKIP holes: this file system does not keep holes"
fi

# The progress line: on standard error when asked for (erased at the end), never with --no-progress.
"$tool" cp --progress "$work/src-9437184" "$work/progress-copy" 2>"$work/progress"
grep -q "9.0 MiB" "$work/progress" || fail "cp --progress showed no progress: $(cat -v "$work/progress")"
"$tool" cat --progress "$work/src-9437184" 2>"$work/progress" >/dev/null
grep -q "B/s" "$work/progress" || fail "cat --progress showed no rate: $(cat -v "$work/progress")"
"$tool" cp --no-progress "$work/src-9437184" "$work/progress-copy" 2>"$work/progress"
[ ! -s "$work/progress" ] || fail "cp --no-progress wrote to standard error: $(cat -v "$work/progress")"

# An interrupted copy leaves no partial destination: SIGTERM while cp waits on a pipe.
mkfifo "$work/fifo"
"$tool" cp "$work/fifo" "$work/interrupted" 2>/dev/null &
copier=$!
exec 3>"$work/fifo"
head -c 100000 /dev/urandom >&3
for _ in $(seq 1 200); do
  [ -s "$work/interrupted" ] && break
  sleep 0.05
done
kill -TERM "$copier"
status=0
wait "$copier" || status=$?
exec 3>&-
[ "$status" -eq 143 ] || fail "an interrupted cp exited with $status, not 143 (SIGTERM)"
[ ! -e "$work/interrupted" ] || fail "an interrupted cp left its partial destination"
# And while the library copies: as early as the destination appears (skipped if the copy wins).
head -c 256M /dev/zero | tr '\0' 'x' >"$work/large"
"$tool" cp "$work/large" "$work/large-copy" 2>/dev/null &
copier=$!
for _ in $(seq 1 2000); do
  [ -e "$work/large-copy" ] && break
  sleep 0.001
done
kill -INT "$copier" 2>/dev/null || true
status=0
wait "$copier" || status=$?
if [ "$status" -eq 130 ]; then
  [ ! -e "$work/large-copy" ] || fail "a cp interrupted by SIGINT left its partial destination"
else
  echo "SKIP interrupted library copy: it finished (status $status) before the signal"
fi
rm -f "$work/large" "$work/large-copy"

# Errors: status 1 and exactly one line on standard error; usage errors status 2.
expect_error() {
  local what=$1 want=$2
  shift 2
  local err="$work/stderr" status=0
  "$@" >/dev/null 2>"$err" </dev/null || status=$?
  if [ "$status" -ne "$want" ]; then
    fail "$what: exit status $status, not $want"
  elif [ "$(wc -l <"$err")" -ne 1 ]; then
    fail "$what: wanted one line of error, got: $(cat "$err")"
  fi
}
expect_error "cat of a missing file" 1 "$tool" cat "$work/missing"
expect_error "cat of a directory" 1 "$tool" cat "$work"
expect_error "cp from a missing file" 1 "$tool" cp "$work/missing" "$work/out"
expect_error "cp into a missing directory" 1 "$tool" cp "$work/src-1" "$work/no/such/dir/out"
expect_error "cp onto itself" 1 "$tool" cp "$work/src-4096" "$work/src-4096"
expect_error "cp with one argument" 2 "$tool" cp "$work/src-1"
expect_error "cp with three arguments" 2 "$tool" cp "$work/src-1" "$work/a" "$work/b"
expect_error "unknown command" 2 "$tool" frobnicate
expect_error "unknown option" 2 "$tool" cat --frobnicate
expect_error "unknown option of cp" 2 "$tool" cp --frobnicate a b
expect_error "unknown option of bench" 2 "$tool" bench --frobnicate
expect_error "bad bench size" 2 "$tool" bench --size lots
expect_error "bad repeat count" 2 "$tool" bench --repeat 0
"$tool" cat "$work/missing" 2>"$work/stderr" || true
grep -q "No such file or directory" "$work/stderr" || fail "cat gives no reason for a missing file"
# A failing file among others: the others are still written, the status is 1.
status=0
"$tool" cat "$work/src-1" "$work/missing" "$work/src-904" 2>/dev/null >"$work/mixed" || status=$?
[ "$status" -eq 1 ] || fail "cat with a missing file among others exited with $status"
cmp -s "$work/mixed" <(cat "$work/src-1" "$work/src-904") || fail "cat skipped the files after a missing one"
if [ "$(id -u)" -ne 0 ]; then
  chmod 000 "$work/src-4096"
  expect_error "cat without permission" 1 "$tool" cat "$work/src-4096"
  chmod 644 "$work/src-4096"
fi
"$tool" --version | grep -Eq "^tarvos [0-9]+\.[0-9]+\.[0-9]+" || fail "tarvos --version prints no version"
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
