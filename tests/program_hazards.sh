#!/usr/bin/env bash
# Usage: program_hazards.sh CASE COMPRESSOR DECOMPRESSOR CORPUS_DIR WITHOUT_UNNAMED_FILES
# The ways a run can go wrong outside the coding: inputs whose size lies,
# outputs that name open descriptors, fatal signals and resource limits,
# paths near PATH_MAX, sticky directories, and names in messages. Each CASE
# is one ctest test and runs a table of variations; exit 77 means skipped
# (with a reason). WITHOUT_UNNAMED_FILES runs a command as on a file system
# without unnamed files, so that the named temporary files are tested too.
set -uo pipefail
case_name=$1 compressor=$2 decompressor=$3 corpus=$4 without_unnamed=$5
source "$(dirname "$0")/program_helpers.sh"
here=$(pwd -P)

# wait_for_output PID: waits until the program has its new output open in
# the work directory, and sets output_seen to what /proc shows of it: the
# temporary name, or "#<inode> (deleted)" for an unnamed file.
wait_for_output() {
  local pid=$1 i line
  for ((i = 0; i < 1000; i++)); do
    while read -r line; do
      output_seen=${line#* -> }
      case $output_seen in "$here"/.*.?????? | "$here"/\#*) return 0 ;; esac
    done < <(ls -l /proc/"$pid"/fd 2> /dev/null)
    kill -0 "$pid" 2> /dev/null || fail "the program ended before it opened its output"
    sleep 0.01
  done
  fail "the program did not open its output"
}

# Sets modes to the ways a new output can be made here: "unnamed" as this
# machine does it, and "named" as on a file system without unnamed files,
# unless the filter cannot be installed (named_untested gives the reason).
# Sets mode_prefix MODE: in_mode to the command prefix of that mode.
set_modes() {
  modes=(unnamed)
  named_untested=""
  if "$without_unnamed" true 2> /dev/null; then
    modes+=(named)
  else
    named_untested=$("$without_unnamed" true 2>&1)
  fi
}
set_mode() {
  in_mode=()
  [ "$1" = unnamed ] || in_mode=("$without_unnamed")
}
# To call at the end of a case that ran set_modes.
check_modes() {
  [ -z "$named_untested" ] || skip "passed with unnamed files; named ones untested: $named_untested"
}

# A file the compressor codes for seconds, and one whose archive is over
# 100 KiB.
make_large() { for i in 1 2 3 4 5 6 7; do cat "$corpus"/*; done > large; }
make_medium() { cat "$corpus"/* > medium; }

case "$case_name" in

lying_sizes)
  # Disk files are measured by their size, and a file that changes while it
  # is read is refused whichever way it changed. Each row: the change made
  # while the compressor is stopped early in its run, and the message.
  make_medium
  length=$(stat -c %s medium)
  while IFS='|' read -r change message; do
    cp medium changing
    old_output changing.ari
    "$compressor" changing changing.ari > out.txt 2> err.txt &
    pid=$!
    wait_for_output "$pid"
    kill -STOP "$pid"
    eval "$change"
    kill -CONT "$pid"
    wait "$pid"
    status=$?
    [ "$status" = 1 ] || fail "after '$change' the compressor exited $status"
    [ "$(cat err.txt)" = "compressor: changing: $message" ] || fail "after '$change': $(cat err.txt)"
    kept_old changing.ari
    no_temporary
  done << EOF
printf x >> changing|the input changed while it was read: it goes on past its measured length ($length bytes)
truncate -s 1M changing|the input ended before its measured length (1048576 of $length bytes)
EOF

  # Files whose size says nothing of what reading them yields: procfs and
  # cgroup files say 0, sysfs attributes 4096. Each row is compressed by
  # name and from standard input, and must restore what reading it yields;
  # a file whose size happens to be right proves nothing and is passed over.
  kinds=""
  while read -r file; do
    [ -r "$file" ] && cat "$file" > expected 2> /dev/null && [ -s expected ] || continue
    size=$(stat -c %s "$file")
    [ "$size" != "$(wc -c < expected)" ] || continue
    run 0 "$compressor" "$file" by_name.ari
    run 0 "$decompressor" by_name.ari restored
    cmp -s restored expected || fail "$file (size $size) does not restore what reading it yields"
    "$compressor" - from_stdin.ari < "$file" > out.txt 2> err.txt || fail "$file on stdin: $(cat err.txt)"
    run 0 "$decompressor" from_stdin.ari restored
    cmp -s restored expected || fail "$file on stdin does not restore what reading it yields"
    kinds+=" $(stat -f -c %T "$file")"
  done << 'EOF'
/proc/version
/proc/filesystems
/proc/sys/kernel/ostype
/sys/kernel/mm/transparent_hugepage/enabled
/sys/devices/system/cpu/online
/sys/fs/cgroup/cpu/cpu.shares
/sys/fs/cgroup/cgroup.controllers
EOF
  [[ $kinds == *proc* ]] || fail "no procfs file was tested (kinds:$kinds)"
  [[ $kinds == *sysfs* ]] || skip "procfs passed; no readable sysfs attribute whose size lies"
  no_temporary
  ;;

descriptor_outputs)
  # An OUTPUT that names an open descriptor is written through it as "-" is:
  # what the shell writes before and after stays, and nothing is created or
  # replaced. Each row: the name and the descriptor it names.
  small_pair
  ln -s /dev/stdout to-stdout
  while read -r name fd; do
    for program in compressor decompressor; do
      if [ $program = compressor ]; then input=paper1 data=paper1.ari; else input=paper1.ari data=paper1; fi
      case $fd in
        1) streams="2> console.txt" ;;
        2) streams="> console.txt" ;;
        *) streams="> console.txt 2> err.txt" ;;
      esac
      printf 'HEADER\n' > combo
      eval "{ \"\${!program}\" \"\$input\" \"\$name\"; status=\$?; printf 'TRAILER\n' >&$fd; } $fd>> combo $streams"
      [ "$status" = 0 ] || fail "$program into $name exited $status"
      { printf 'HEADER\n'; cat $data; printf 'TRAILER\n'; } | cmp -s - combo ||
        fail "$program into $name did not write through descriptor $fd"
      grep -qaE ' = [0-9]+\.[0-9]{2}s$' console.txt || fail "$program into $name: console text"
    done
  done << 'EOF'
/dev/stdout 1
/dev/stderr 2
/dev/fd/3 3
/proc/self/fd/4 4
to-stdout 1
EOF
  [ -L to-stdout ] || fail "the link to /dev/stdout was replaced"

  # The file behind the descriptor has been unlinked: it is still written.
  for fd in 1 3; do
    : > gone && exec 5< gone
    if [ $fd = 1 ]; then
      { rm gone; "$compressor" paper1 /dev/stdout 2> console.txt; } > gone
    else
      { rm gone; "$compressor" paper1 /dev/fd/3 > console.txt; } 3> gone
    fi
    status=$?
    cat <&5 | cmp -s - paper1.ari || fail "the unlinked file behind descriptor $fd was not written"
    exec 5<&-
    [ "$status" = 0 ] || fail "writing to unlinked descriptor $fd exited $status"
  done
  [ "$(ls -A | sort | tr '\n' ' ')" = "combo console.txt err.txt paper1 paper1.ari to-stdout " ] ||
    fail "unexpected files: $(ls -A)"

  # Descriptors that cannot take the output. Each row: the name, the
  # redirections, the reason.
  exec 7>&-
  while IFS='|' read -r name streams reason; do
    eval "\"\$compressor\" paper1 \"\$name\" $streams > out.txt 2> err.txt"
    status=$?
    [ "$status" = 1 ] || fail "$name ($streams) exited $status"
    [ "$(cat err.txt)" = "compressor: $name: $reason" ] || fail "$name ($streams): $(cat err.txt)"
    [ ! -s out.txt ] || fail "$name ($streams) was refused only after coding"
  done << 'EOF'
/dev/fd/7||Bad file descriptor
/dev/fd/3|3< paper1.ari|Bad file descriptor
/dev/stdin|< paper1.ari|Bad file descriptor
/dev/fd/3|3>> paper1|is the same file as the input paper1; refusing to overwrite the input
/dev/fd/three||No such file or directory
EOF
  cmp -s paper1 "$corpus/paper1" || fail "the input was changed"
  ;;

fatal_signals)
  # A run ended by any signal whose default action ends the process dies of
  # it, keeps the old output and leaves no file behind. Each row: the signal,
  # the modes it is tested in (SIGKILL cannot be caught: only an unnamed
  # file is sure to vanish with it), and the programs. The compressor is
  # caught coding; the decompressor waiting on a pipe that is open but
  # silent.
  set -m       # background jobs of a script otherwise ignore SIGINT and SIGQUIT
  ulimit -c 0  # no core files from the signals that dump one
  set_modes
  make_large
  old_output large.ari
  old_output out.unp
  mkfifo fifo
  while IFS='|' read -r signal row_modes programs; do
    for mode in "${modes[@]}"; do
      [[ " $row_modes " == *" $mode "* ]] || continue
      set_mode "$mode"
      for program in $programs; do
        if [ "$program" = compressor ]; then
          "${in_mode[@]}" "$compressor" large large.ari > /dev/null 2> err.txt &
          pid=$! output=large.ari
        else
          "${in_mode[@]}" "$decompressor" fifo out.unp > /dev/null 2> err.txt &
          pid=$! output=out.unp
          exec 3> fifo
        fi
        wait_for_output "$pid"
        case $mode:$output_seen in
          unnamed:*" (deleted)" | named:"$here/.$output".??????) ;;
          *) fail "$program ($mode) wrote its output to $output_seen" ;;
        esac
        kill -s "$signal" "$pid"
        wait "$pid" 2> /dev/null  # without the shell's report of the signal
        status=$?
        exec 3>&-
        [ "$status" = $((128 + $(kill -l "$signal"))) ] ||
          fail "$program ($mode) after SIG$signal exited $status: $(cat err.txt)"
        kept_old "$output"
        no_temporary
      done
    done
  done << 'EOF'
HUP|unnamed named|compressor decompressor
INT|unnamed named|compressor decompressor
QUIT|unnamed named|compressor decompressor
TERM|unnamed named|compressor decompressor
ILL|unnamed named|compressor
TRAP|unnamed named|compressor
ABRT|unnamed named|compressor
BUS|unnamed named|compressor
FPE|unnamed named|compressor
USR1|unnamed named|compressor
SEGV|unnamed named|compressor
USR2|unnamed named|compressor
PIPE|unnamed named|compressor
ALRM|unnamed named|compressor
STKFLT|unnamed named|compressor
XCPU|unnamed named|compressor
VTALRM|unnamed named|compressor
PROF|unnamed named|compressor
IO|unnamed named|compressor
PWR|unnamed named|compressor
SYS|unnamed named|compressor
RTMIN|unnamed named|compressor
RTMAX|unnamed named|compressor
KILL|unnamed|compressor decompressor
EOF
  check_modes
  ;;

resource_limits)
  # Each row: the limit, the modes, the command, the exit status, and the
  # message (none for a death by the limit's signal). A file-size limit is
  # the write error it is; the processor-time limit ends the run by SIGXCPU
  # (soft limit) or SIGKILL (hard limit). Every run keeps the old output and
  # leaves nothing behind.
  ulimit -c 0
  set_modes
  small_pair
  make_medium
  make_large
  for mode in "${modes[@]}"; do
    set_mode "$mode"
    # The least address space, in steps of 256 KiB, in which the compressor
    # starts and prints its version: too little for its model.
    memory=2048
    until (ulimit -v $memory && "${in_mode[@]}" "$compressor" --version) > /dev/null 2>&1; do
      memory=$((memory + 256))
      [ $memory -le 262144 ] || fail "the compressor does not start within 256 MiB"
    done
    while IFS=';' read -r limit row_modes command status message; do
      [[ " $row_modes " == *" $mode "* ]] || continue
      old_output out
      # The shell's own report of a death by a signal goes to /dev/null.
      (
        exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-
        eval "ulimit $limit" && eval "$command 2> err.txt"
      ) > out.txt 2> /dev/null
      got=$?
      [ "$got" = "$status" ] || fail "ulimit $limit; $command ($mode): exited $got: $(cat err.txt)"
      [ "$(cat err.txt)" = "$message" ] || fail "ulimit $limit; $command ($mode): $(cat err.txt)"
      kept_old out
      no_temporary
    done << 'EOF'
-f 100;unnamed named;"${in_mode[@]}" "$compressor" medium out;1;compressor: out: File too large
-f 20;unnamed named;"${in_mode[@]}" "$decompressor" paper1.ari out;1;decompressor: out: File too large
-f 100;unnamed named;cat medium | TMPDIR=. "${in_mode[@]}" "$compressor" - out;1;compressor: .: cannot buffer standard input: File too large
-S -t 1;unnamed named;"${in_mode[@]}" "$compressor" large out;152;
-t 1;unnamed;"${in_mode[@]}" "$compressor" large out;137;
-n 5;unnamed named;"${in_mode[@]}" "$compressor" paper1 out;1;compressor: out: Too many open files
-v $memory;unnamed named;"${in_mode[@]}" "$compressor" paper1 out;1;compressor: Cannot allocate memory
EOF
  done
  check_modes
  ;;

long_paths)
  # Every path the system accepts works, up to 4095 bytes: the new file is
  # made relative to its directory. Each row: the path's length and its last
  # component's, up to the 255 bytes a name may have.
  small_pair
  # make_path LENGTH BASE LETTER: prints a path of LENGTH bytes under long/,
  # whose directories it makes, ending in BASE letters LETTER.
  make_path() {
    local path=long/ left=$(($1 - $2 - 5)) part
    while [ $left -gt 0 ]; do
      part=$((left > 251 ? 251 : left))
      [ $((left - part)) != 1 ] || part=$((part - 1))
      path+=$(printf "%$((part - 1))s" "" | tr ' ' d)/
      left=$((left - part))
    done
    mkdir -p "$path" && printf '%s%s' "$path" "$(printf "%$2s" "" | tr ' ' "$3")"
  }
  while read -r length base; do
    path=$(make_path "$length" "$base" o) restored=$(make_path "$length" "$base" r)
    [ ${#path} = "$length" ] && [ ${#restored} = "$length" ] || fail "could not make $length-byte paths"
    touch "$path" 2> /dev/null || skip "this system refuses a path of $length bytes"
    rm "$path"
    run 0 "$compressor" paper1 "$path"
    cmp -s "$path" paper1.ari || fail "the $length-byte path does not hold the archive"
    old_output "$restored"
    run 0 "$decompressor" "$path" "$restored"
    cmp -s "$restored" paper1 || fail "the old file at the $length-byte path was not replaced"
    no_temporary "$(dirname "$path")"
  done << 'EOF'
4088 79
4095 79
4095 255
EOF
  # A link to the longest path, and one byte more than the system accepts.
  ln -s "$path" link
  run 0 "$compressor" paper1 link
  [ -L link ] && cmp -s "$path" paper1.ari || fail "the link to a 4095-byte path was not followed"
  path=$(make_path 4096 80 o)
  expect_error 1 "compressor: $path: File name too long" "$compressor" paper1 "$path"
  ;;

sticky_directory)
  # In a sticky directory only the file's owner, the directory's owner and
  # root may replace a file. A file the user may write but not replace is
  # refused before any coding. Each row: the file's owner, the directory's
  # owner, who runs the programs, and the outcome: refused, or the owner of
  # the new file (root keeps the old one's).
  [ "$(id -u)" = 0 ] || skip "giving files to two users needs root"
  set_as_nobody
  small_pair
  refusal="is another user's file in a sticky directory; only its owner may replace it"
  while read -r file_owner dir_owner user outcome; do
    as_user=("${as_nobody[@]}")
    [ "$user" = nobody ] || as_user=()
    rm -rf sticky && mkdir sticky && chown "$dir_owner" sticky && chmod 1777 sticky
    for program in compressor decompressor; do
      if [ $program = compressor ]; then input=paper1 data=paper1.ari; else input=paper1.ari data=paper1; fi
      old_output sticky/f && chown "$file_owner" sticky/f && chmod 666 sticky/f
      if [ "$outcome" = refused ]; then
        expect_error 1 "$program: sticky/f: $refusal" "${as_user[@]}" "${!program}" "$input" sticky/f
        [ ! -s out.txt ] || fail "$program coded before refusing"
        kept_old sticky/f
      else
        run 0 "${as_user[@]}" "${!program}" "$input" sticky/f
        cmp -s sticky/f "$data" || fail "$program did not replace sticky/f ($file_owner $dir_owner $user)"
        [ "$(stat -c %u sticky/f)" = "$outcome" ] || fail "sticky/f is owned by $(stat -c %u sticky/f)"
      fi
      no_temporary sticky
    done
  done << 'EOF'
0 0 nobody refused
65533 0 nobody refused
65534 0 nobody 65534
0 65534 nobody 65534
65533 0 root 65533
EOF
  ;;

messages)
  # A name with control characters or invalid UTF-8 is quoted for the shell,
  # so that each message stays one line and no escape sequence reaches the
  # terminal; printable names are printed as they are. Each row: the name as
  # printf writes it, and as messages quote it.
  while read -r format quoted; do
    name=$(printf -- "$format"; printf x) && name=${name%x}
    expect_error 1 "compressor: $quoted: No such file or directory" "$compressor" "$name" out.ari
  done << 'EOF'
a\nb 'a'$'\n''b'
x\033[31my 'x'$'\033''[31my'
tab\there 'tab'$'\t''here'
it's\r 'it'\''s'$'\r'
\n\n $'\n\n'
c1\302\233z 'c1'$'\302\233''z'
bad\377z 'bad'$'\377''z'
caf\303\251 café
a'b a'b
EOF
  expect_error 1 "decompressor: 'missing/a'\$'\\n''b': No such file or directory" \
    "$decompressor" /dev/null $'missing/a\nb'

  # An unknown option is quoted as always, with a second line pointing at
  # --help.
  small_pair
  for program in compressor decompressor; do
    while read -r format quoted; do
      option=$(printf -- "$format")
      run 2 "${!program}" "$option"
      [ "$(cat err.txt)" = "$program: unknown option $quoted"$'\n'"Try '$program --help' for more information." ] ||
        fail "$program $format: $(cat err.txt)"
      [ ! -s out.txt ] || fail "$program $format wrote to standard output"
    done << 'EOF'
-x '-x'
-\033] '-'$'\033'']'
EOF
    # --help and --version report a failed write.
    for option in --help --version; do
      "${!program}" $option > /dev/full 2> err.txt
      status=$?
      [ "$status" = 1 ] && [ "$(cat err.txt)" = "$program: standard output: No space left on device" ] ||
        fail "$program $option > /dev/full: exited $status: $(cat err.txt)"
      "${!program}" $option >&- 2> err.txt
      status=$?
      [ "$status" = 1 ] && [ "$(cat err.txt)" = "$program: standard output: Bad file descriptor" ] ||
        fail "$program $option >&-: exited $status: $(cat err.txt)"
    done
    # An empty name is refused before any work: the compressor does not wait
    # for a standard input that never ends.
    if [ $program = compressor ]; then input=-; else input=paper1.ari; fi
    rm -f fifo && mkfifo fifo && exec 3<> fifo
    timeout 10 "${!program}" "$input" '' < fifo > out.txt 2> err.txt
    status=$?
    exec 3>&-
    [ "$status" = 1 ] && [ "$(cat err.txt)" = "$program: '': No such file or directory" ] ||
      fail "$program with an empty OUTPUT: exited $status: $(cat err.txt)"
    expect_error 1 "$program: '': No such file or directory" "${!program}" '' out
    absent out
  done

  # A failed run prints no time: its progress line just ends.
  run 1 "$compressor" paper1 /dev/full
  [ "$(cat out.txt)" = $'\r0/53161\r16384/53161\r32768/53161\r49152/53161' ] ||
    fail "console text of a failed run: $(od -c out.txt | head -5)"
  [ "$(tail -c 1 out.txt | od -An -c | tr -d ' ')" = '\n' ] || fail "the progress line was not ended"
  head -c $(($(stat -c %s paper1.ari) / 2)) paper1.ari > cut.ari
  run 1 "$decompressor" cut.ari cut.unp
  grep -q ' = ' out.txt && fail "a failed decompression printed its time: $(od -c out.txt | head -3)"
  [ "$(head -c 8 out.txt)" = $'\r0/53161' ] || fail "no progress before the failure: $(od -c out.txt | head -3)"
  absent cut.unp
  no_temporary
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
