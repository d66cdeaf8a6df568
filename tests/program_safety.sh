#!/usr/bin/env bash
# Usage: program_safety.sh CASE COMPRESSOR DECOMPRESSOR CORPUS_DIR
# The programs' behaviour on failures and at the edges of the Unix toolbox:
# exit statuses, the one-line messages on standard error, and the files left
# behind. Each CASE is one ctest test; exit 77 means skipped (with a reason).
set -uo pipefail
case_name=$1 compressor=$2 decompressor=$3 corpus=$4
source "$(dirname "$0")/program_helpers.sh"

# expect_damaged FILE PROGRAM ARGS...: fails with status 1 and one line that
# names FILE and calls the data damaged, truncated or corrupt (the wording is
# the decoder's own).
expect_damaged() {
  local file=$1
  shift
  run 1 "$@"
  [ "$(wc -l < err.txt)" = 1 ] || fail "'$*' wrote other than one line: $(cat err.txt)"
  grep -qE "^decompressor: $file: .*(truncat|damage|corrupt)" err.txt ||
    fail "'$*' wrote: $(cat err.txt)"
}

case "$case_name" in

missing_input)
  old_output out.ari
  expect_error 1 "compressor: no-such-file: No such file or directory" \
    "$compressor" no-such-file out.ari
  kept_old out.ari
  expect_error 1 "decompressor: no-such-file.ari: No such file or directory" \
    "$decompressor" no-such-file.ari new.unp
  absent new.unp
  no_temporary
  ;;

unreadable_input)
  # chmod 000 stops everyone but root, so as root the programs run as
  # nobody; the root-proof read failures are the cases input_directory,
  # read_error, and the changing inputs of program_hazards.sh lying_sizes.
  cp "$corpus/paper1" secret && chmod 000 secret
  small_pair && chmod 000 paper1.ari
  set_as_nobody
  mkdir out && chmod 777 out && old_output out/secret.ari && chmod 666 out/secret.ari
  expect_error 1 "compressor: secret: Permission denied" \
    "${as_nobody[@]}" "$compressor" secret out/secret.ari
  kept_old out/secret.ari
  expect_error 1 "decompressor: paper1.ari: Permission denied" \
    "${as_nobody[@]}" "$decompressor" paper1.ari out/paper1.unp
  absent out/paper1.unp
  no_temporary out
  ;;

input_directory)
  mkdir adir
  old_output out
  expect_error 1 "compressor: adir: Is a directory" "$compressor" adir out
  expect_error 1 "decompressor: adir: Is a directory" "$decompressor" adir out
  kept_old out
  no_temporary
  ;;

read_error)
  # Reading /proc/self/mem at offset 0 fails with EIO (the page at address 0
  # is never mapped), for root too. The compressor reads a procfs file to its
  # end before it codes, and fails there.
  [ -e /proc/self/mem ] || skip "no /proc/self/mem"
  old_output out.unp
  expect_error 1 "decompressor: /proc/self/mem: read error: Input/output error" \
    "$decompressor" /proc/self/mem out.unp
  kept_old out.unp
  old_output out.ari
  expect_error 1 "compressor: /proc/self/mem: read error: Input/output error" \
    "$compressor" /proc/self/mem out.ari
  [ ! -s out.txt ] || fail "the compressor printed progress for an input it could not read"
  kept_old out.ari
  no_temporary
  ;;

output_missing_directory)
  small_pair
  expect_error 1 "compressor: missing/paper1.ari: No such file or directory" \
    "$compressor" paper1 missing/paper1.ari
  expect_error 1 "decompressor: missing/paper1: No such file or directory" \
    "$decompressor" paper1.ari missing/paper1
  absent missing
  # A path through a regular file fails for root too.
  expect_error 1 "compressor: paper1/x.ari: Not a directory" "$compressor" paper1.ari paper1/x.ari
  cmp -s paper1 "$corpus/paper1" || fail "the input changed"
  no_temporary
  ;;

output_readonly_directory)
  # Root writes into a mode 555 directory, so as root the directory is made
  # read-only by a read-only bind mount of it onto itself, in a private mount
  # namespace (unshare -m); the kernel then refuses with EROFS.
  small_pair
  mkdir ro && old_output ro/paper1.ari
  if [ "$(id -u)" = 0 ]; then
    command -v unshare > /dev/null || skip "running as root and unshare is missing"
    unshare -m sh -c "mount --bind -o ro '$work/ro' '$work/ro'" 2> /dev/null ||
      skip "running as root and cannot mount read-only in a private namespace"
    in_ro() { unshare -m sh -c "mount --bind -o ro '$work/ro' '$work/ro' && exec \"\$@\"" sh "$@"; }
    reason="Read-only file system"
  else
    chmod 555 ro
    in_ro() { "$@"; }
    reason="Permission denied"
  fi
  expect_error 1 "compressor: ro/paper1.ari: $reason" in_ro "$compressor" paper1 ro/paper1.ari
  kept_old ro/paper1.ari
  expect_error 1 "decompressor: ro/new: $reason" in_ro "$decompressor" paper1.ari ro/new
  absent ro/new
  no_temporary ro
  ;;

output_dev_full)
  [ -c /dev/full ] || skip "no /dev/full"
  small_pair
  expect_error 1 "compressor: /dev/full: No space left on device" "$compressor" paper1 /dev/full
  expect_error 1 "decompressor: /dev/full: No space left on device" \
    "$decompressor" paper1.ari /dev/full
  [ -c /dev/full ] || fail "/dev/full is no longer a device"
  ;;

same_file)
  small_pair
  cp paper1 keep && cp paper1.ari keep.ari
  expect_error 1 "compressor: paper1: is the same file as the input paper1; refusing to overwrite the input" \
    "$compressor" paper1 paper1
  ln -s paper1 link
  expect_error 1 "compressor: link: is the same file as the input paper1; refusing to overwrite the input" \
    "$compressor" paper1 link
  ln paper1 hard
  expect_error 1 "compressor: hard: is the same file as the input paper1; refusing to overwrite the input" \
    "$compressor" paper1 hard
  expect_error 1 "compressor: standard output: is the same file as the input paper1; refusing to overwrite the input" \
    sh -c 'exec "$0" paper1 - >> paper1' "$compressor"
  ln -s paper1.ari link.ari
  expect_error 1 "decompressor: link.ari: is the same file as the input paper1.ari; refusing to overwrite the input" \
    "$decompressor" paper1.ari link.ari
  cmp -s paper1 keep || fail "the input was changed"
  cmp -s paper1.ari keep.ari || fail "the compressed input was changed"
  [ -L link ] && [ -L link.ari ] || fail "a link was replaced"
  no_temporary
  ;;

large_input)
  truncate -s 2G big || skip "cannot make a sparse 2 GiB file"
  old_output big.ari
  message="is 2147483648 bytes long; the compressed format stores lengths below 2 GiB (at most 2147483647 bytes)"
  expect_error 1 "compressor: big: $message" "$compressor" big big.ari
  kept_old big.ari
  "$compressor" - new.ari < big > out.txt 2> err.txt
  [ $? = 1 ] || fail "2 GiB on standard input was not refused"
  [ "$(cat err.txt)" = "compressor: standard input: $message" ] || fail "stdin message: $(cat err.txt)"
  absent new.ari
  no_temporary
  ;;

truncated_compressed)
  small_pair
  size=$(stat -c %s paper1.ari)
  old_output out.unp
  for keep in $((size - 1)) $((size / 2)) 2 0; do
    head -c "$keep" paper1.ari > cut.ari
    expect_damaged cut.ari "$decompressor" cut.ari out.unp
    kept_old out.unp
    "$decompressor" cut.ari new.unp > /dev/null 2>&1
    absent new.unp
  done
  # A length field that claims 2 GiB over an eight-byte stream of 0xFF (the
  # bytes the decoder once spun on): refused, not decoded for hours.
  printf '\xff\xff\xff\x7f\xff\xff\xff\xff\xff\xff\xff\xff' > claims.ari
  expect_damaged claims.ari "$decompressor" claims.ari out.unp
  kept_old out.unp
  no_temporary
  ;;

corrupted_compressed)
  small_pair
  size=$(stat -c %s paper1.ari)
  old_output out.unp
  # One byte in the middle of the coded stream changed: the decoder goes
  # astray and no longer ends where the stream does.
  cp paper1.ari bad.ari
  printf '\x5a' | dd of=bad.ari bs=1 seek=$((size / 2)) conv=notrunc status=none
  cmp -s bad.ari paper1.ari && fail "the corruption changed nothing"
  expect_damaged bad.ari "$decompressor" bad.ari out.unp
  kept_old out.unp
  # A byte appended after the coded stream.
  { cat paper1.ari; printf 'x'; } > long.ari
  expect_damaged long.ari "$decompressor" long.ari out.unp
  kept_old out.unp
  no_temporary
  ;;

dev_null)
  [ -c /dev/null ] || skip "no /dev/null"
  small_pair
  run 0 "$compressor" paper1 /dev/null
  grep -qaE $'^\r0/53161\r16384/53161\r32768/53161\r49152/53161 = [0-9]+\\.[0-9]{2}s$' out.txt ||
    fail "progress text: $(od -c out.txt | head -3)"
  run 0 "$decompressor" paper1.ari /dev/null
  [ -c /dev/null ] || fail "/dev/null is no longer a device"
  [ ! -s err.txt ] || fail "stderr: $(cat err.txt)"
  no_temporary /dev
  ;;

standard_streams)
  small_pair
  # Through pipes: the data stays clean, the console text goes to stderr.
  cat paper1 | "$compressor" - - 2> c.err | tee piped.ari | "$decompressor" - - 2> d.err > piped.unp
  statuses="${PIPESTATUS[*]}"
  [ "$statuses" = "0 0 0 0" ] || fail "pipeline statuses $statuses"
  cmp -s piped.ari paper1.ari || fail "compressed stream differs from the compressed file"
  cmp -s piped.unp paper1 || fail "round trip through pipes differs"
  for f in c.err d.err; do
    grep -qaE $'^\r0/53161\r16384/53161\r32768/53161\r49152/53161 = [0-9]+\\.[0-9]{2}s$' $f ||
      fail "$f console text: $(head -c 80 $f | od -c | head -3)"
  done
  # Standard input that is a regular file, and a named pipe as the input.
  "$compressor" - redirected.ari < paper1 > /dev/null || fail "compressing redirected stdin failed"
  cmp -s redirected.ari paper1.ari || fail "redirected stdin compressed differently"
  mkfifo fifo
  cat paper1 > fifo &
  "$compressor" fifo fifo.ari > /dev/null || fail "compressing a named pipe failed"
  wait
  cmp -s fifo.ari paper1.ari || fail "named pipe compressed differently"
  # A named pipe as the output is written in place and stays a pipe.
  mkfifo out.fifo
  cat out.fifo > from_fifo.ari &
  "$compressor" paper1 out.fifo > /dev/null || fail "compressing into a named pipe failed"
  wait
  [ -p out.fifo ] || fail "the named pipe was replaced"
  cmp -s from_fifo.ari paper1.ari || fail "data through the output pipe differs"
  # Empty standard input.
  "$compressor" - - < /dev/null 2> /dev/null | "$decompressor" - empty.unp 2> /dev/null ||
    fail "empty stream round trip failed"
  [ -f empty.unp ] && [ ! -s empty.unp ] || fail "empty stream did not restore to an empty file"
  no_temporary
  ;;

terminal)
  command -v script > /dev/null || skip "script (util-linux) is missing"
  small_pair
  script -qec "'$compressor' paper1 -" /dev/null > tty.txt 2>&1 < /dev/null
  [ $? = 1 ] || fail "compressor wrote to a terminal: $(head -c 200 tty.txt)"
  grep -q "compressor: standard output: is a terminal; compressed data is not written to a terminal" tty.txt ||
    fail "compressor message: $(cat tty.txt)"
  script -qec "'$decompressor' - out.unp" /dev/null > tty.txt 2>&1 < /dev/null
  [ $? = 1 ] || fail "decompressor read from a terminal: $(cat tty.txt)"
  grep -q "decompressor: standard input: is a terminal; compressed data is not read from a terminal" tty.txt ||
    fail "decompressor message: $(cat tty.txt)"
  absent out.unp
  # The decompressor may write to a terminal.
  script -qec "'$decompressor' paper1.ari -" /dev/null > tty.txt 2>&1 < /dev/null ||
    fail "decompressor to a terminal failed: $(tail -c 200 tty.txt)"
  ;;

help_version)
  for program in "$compressor" "$decompressor"; do
    name=$(basename "$program")
    for option in -h --help; do
      run 0 "$program" $option
      grep -q "^Usage: $name \[OPTION\]... \[INPUT \[OUTPUT\]\]$" out.txt || fail "$name $option: $(cat out.txt)"
      grep -q "^Exit status:" out.txt || fail "$name $option has no exit statuses"
      grep -q "^  2  usage error" out.txt || fail "$name $option does not list status 2"
      [ ! -s err.txt ] || fail "$name $option wrote to stderr"
    done
    for option in -V --version; do
      run 0 "$program" $option
      grep -qx "$name (bytemix) [0-9][0-9.]*" out.txt || fail "$name $option: $(cat out.txt)"
    done
    run 2 "$program" -x
    [ "$(head -1 err.txt)" = "$name: unknown option '-x'" ] || fail "$name -x: $(cat err.txt)"
    [ ! -s out.txt ] || fail "$name -x wrote to stdout"
  done
  grep -q "(default: book1)" <("$compressor" --help) || fail "compressor help lacks its default"
  grep -q "(default: book1.unp)" <("$decompressor" --help) || fail "decompressor help lacks its default"
  # "--" makes a name that begins with '-' usable; after the first name
  # nothing is an option.
  cp "$corpus/paper1" ./-paper1
  run 0 "$compressor" -- -paper1 -x
  run 0 "$decompressor" -- -x -paper1.unp
  cmp -s ./-paper1 ./-paper1.unp || fail "round trip through names beginning with '-'"
  ;;

defaults)
  mkdir empty && cd empty
  cp "$corpus/book1" book1
  run 0 "$compressor"
  grep -qaE $'^\r0/768770\r16384/768770.*\r753664/768770 = [0-9]+\\.[0-9]{2}s$' out.txt ||
    fail "progress text: $(head -c 80 out.txt | od -c | head -3)"
  [ "$(wc -l < out.txt)" = 1 ] || fail "more than one line on stdout"
  [ ! -s err.txt ] || fail "stderr: $(cat err.txt)"
  [ "$(sha256sum < book1.ari | cut -d' ' -f1)" = eed8035fb32966224919f08c688f950de5bfdecef8fbccc933fcc07abb26eaf1 ] ||
    fail "book1.ari differs from the pinned bytes"
  run 0 "$decompressor"
  cmp -s book1 book1.unp || fail "book1.unp differs from book1"
  # Further arguments are ignored.
  run 0 "$decompressor" book1.ari other.unp ignored more
  cmp -s book1 other.unp || fail "other.unp differs from book1"
  [ "$(ls -A | sort | tr '\n' ' ')" = "book1 book1.ari book1.unp err.txt other.unp out.txt " ] ||
    fail "unexpected files: $(ls -A)"
  ;;

replace_output)
  # An existing output is replaced only when complete, keeps its
  # permissions, and a symbolic link to it stays a link, as writing through
  # the name would leave it.
  small_pair
  printf 'stale' > paper1.unp && chmod 640 paper1.unp
  ln -s paper1.unp link.unp
  run 0 "$decompressor" paper1.ari link.unp
  cmp -s paper1 paper1.unp || fail "the file behind the link was not replaced"
  [ -L link.unp ] || fail "the link was replaced by a file"
  [ "$(stat -c %a paper1.unp)" = 640 ] || fail "permissions not kept: $(stat -c %a paper1.unp)"
  # A link to a file yet to be made: the file is made, the link stays.
  mkdir sub && ln -s sub/new.unp dangling.unp
  run 0 "$decompressor" paper1.ari dangling.unp
  [ -L dangling.unp ] && cmp -s paper1 sub/new.unp || fail "dangling link not followed"
  # Closed standard descriptors are not handed out to files.
  "$compressor" paper1 closed.ari >&- 2> err.txt || fail "compressing with stdout closed failed"
  cmp -s closed.ari paper1.ari || fail "output differs with stdout closed"
  expect_error 1 "compressor: standard output: Bad file descriptor" sh -c 'exec "$0" paper1 - >&-' "$compressor"
  no_temporary
  no_temporary sub
  # A file that "wb" could not open for writing is not replaced either. Root
  # may write anything, so that part runs as nobody.
  set_as_nobody
  mkdir shared && chmod 777 shared && old_output shared/locked.ari && chmod 444 shared/locked.ari
  expect_error 1 "compressor: shared/locked.ari: Permission denied" \
    "${as_nobody[@]}" "$compressor" paper1 shared/locked.ari
  kept_old shared/locked.ari
  no_temporary shared
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
