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

# start PROGRAM ARGS...: starts the program in the background (standard
# error in err.txt) and waits until it has its new output open here. Sets pid,
# and seen to what /proc shows of that file: its temporary name, or
# "#<inode> (deleted)" when it has none.
start() {
  "$@" > /dev/null 2> err.txt &
  pid=$!
  local i line
  for ((i = 0; i < 1000; i++)); do
    while read -r line; do
      seen=${line#* -> }
      case $seen in "$here"/.*.?????? | "$here"/\#*) return 0 ;; esac
    done < <(ls -l /proc/"$pid"/fd 2> /dev/null)
    kill -0 "$pid" 2> /dev/null || fail "'$*' ended before it opened its output"
    sleep 0.01
  done
  fail "'$*' did not open its output"
}

# finish STATUS: the started program exits with STATUS.
finish() {
  wait "$pid" 2> /dev/null  # without the shell's report of a signal
  local got=$?
  [ "$got" = "$1" ] || fail "exited $got, expected $1: $(cat err.txt)"
}

# modes: "unnamed", new files made as this machine makes them, and "named",
# as on a file system without unnamed files, unless the filter cannot be
# installed here. set_mode MODE sets in_mode to the command prefix of MODE.
modes=(unnamed)
"$without_unnamed" true 2> /dev/null && modes+=(named)
set_mode() { in_mode=() && [ "$1" = unnamed ] || in_mode=("$without_unnamed"); }
check_modes() {
  [ ${#modes[@]} = 2 ] || skip "passed with unnamed files; named ones untested: $("$without_unnamed" true 2>&1)"
}

# medium: 3 MB, its archive over 100 KiB; large: coded for seconds.
make_inputs() {
  cat "$corpus"/* > medium
  for i in 1 2 3 4 5 6 7; do cat medium; done > large
}

case "$case_name" in

lying_sizes)
  # Each row: a file whose size says nothing of what reading it yields
  # (procfs and cgroup files say 0, sysfs attributes 4096). By name and on
  # standard input, it must restore what reading it yields. A file whose size
  # happens to be right proves nothing and is passed over.
  kinds=""
  while read -r file; do
    cat "$file" > expected 2> /dev/null && [ -s expected ] &&
      [ "$(stat -c %s "$file")" != "$(wc -c < expected)" ] || continue
    for name in "$file" -; do
      "$compressor" "$name" lying.ari < "$file" > /dev/null 2> err.txt || fail "$file as $name: $(cat err.txt)"
      "$decompressor" lying.ari - 2> /dev/null | cmp -s - expected || fail "$file as $name does not round-trip"
    done
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

  # A disk file is measured by its size, and one that changes while it is
  # read is refused. Each row: the change, made while the compressor is
  # stopped early in its run, and the reason.
  make_inputs
  length=$(stat -c %s medium)
  while IFS='|' read -r change reason; do
    cp medium changing && old_output changing.ari
    start "$compressor" changing changing.ari
    kill -STOP "$pid" && eval "$change" && kill -CONT "$pid"
    finish 1
    [ "$(cat err.txt)" = "compressor: changing: $reason" ] || fail "after '$change': $(cat err.txt)"
    kept_old changing.ari
  done << EOF
printf x >> changing|the input changed while it was read: it goes on past its measured length ($length bytes)
truncate -s 1M changing|the input ended before its measured length (1048576 of $length bytes)
EOF
  no_temporary
  [[ $kinds == *sysfs* ]] || skip "all else passed; no readable sysfs attribute whose size lies"
  ;;

descriptor_outputs)
  # An OUTPUT that names an open descriptor is written through it as "-" is:
  # what the shell writes before and after stays, and nothing is created or
  # replaced. Each row: the name, the descriptor, where the console text goes.
  small_pair
  ln -s /dev/stdout to-stdout
  while read -r name fd console; do
    for program in compressor decompressor; do
      [ $program = compressor ] && files=(paper1 paper1.ari) || files=(paper1.ari paper1)
      echo HEADER > combo
      eval "{ \"\${!program}\" \${files[0]} \"\$name\"; status=\$?; echo TRAILER >&$fd; } $fd>> combo $console"
      [ "$status" = 0 ] && { echo HEADER; cat "${files[1]}"; echo TRAILER; } | cmp -s - combo ||
        fail "$program into $name exited $status or did not write through descriptor $fd"
    done
  done << 'EOF'
/dev/stdout 1 2>/dev/null
/dev/stderr 2 >/dev/null
/dev/fd/3 3 >/dev/null
/proc/self/fd/4 4 >/dev/null
to-stdout 1 2>/dev/null
EOF
  # Also when the file behind the descriptor has been unlinked.
  : > gone && exec 5< gone
  { rm gone; "$compressor" paper1 /dev/stdout 2> /dev/null; } > gone || fail "unlinked standard output"
  cmp -s - paper1.ari <&5 || fail "the unlinked file behind standard output was not written"
  : > gone && exec 5< gone
  { rm gone; "$compressor" paper1 /dev/fd/3 > /dev/null; } 3> gone || fail "unlinked descriptor 3"
  cmp -s - paper1.ari <&5 || fail "the unlinked file behind descriptor 3 was not written"
  exec 5<&-
  [ "$(ls -A | tr '\n' ' ')" = "combo paper1 paper1.ari to-stdout " ] || fail "files: $(ls -A)"

  # Each row: a descriptor that cannot take the output, its redirections,
  # the reason; refused before any coding.
  exec 7>&-
  while IFS='|' read -r name streams reason; do
    eval "\"\$compressor\" paper1 \"\$name\" $streams > out.txt 2> err.txt"
    status=$?
    [ "$status" = 1 ] && [ "$(cat err.txt)" = "compressor: $name: $reason" ] && [ ! -s out.txt ] ||
      fail "$name ($streams): exited $status: $(cat err.txt)"
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
  # it, keeps the old output and leaves no file behind. The compressor is
  # caught coding, the decompressor waiting on a pipe that is open but
  # silent. Each row: the modes, the programs, the signals. SIGKILL cannot
  # be caught: only a file without a name is sure to vanish with it.
  set -m       # background jobs of a script otherwise ignore SIGINT and SIGQUIT
  ulimit -c 0  # no core files from the signals that dump one
  make_inputs
  old_output large.ari && old_output out.unp
  mkfifo fifo && exec 3<> fifo
  while IFS='|' read -r row_modes programs signals; do
    for mode in $row_modes; do
      [[ " ${modes[*]} " == *" $mode "* ]] || continue
      set_mode "$mode"
      for program in $programs; do
        [ $program = compressor ] && files=(large large.ari) || files=(fifo out.unp)
        for signal in $signals; do
          start "${in_mode[@]}" "${!program}" "${files[@]}"
          case $mode:$seen in
            unnamed:*" (deleted)" | named:"$here/.${files[1]}".??????) ;;
            *) fail "$program ($mode) wrote its output to $seen" ;;
          esac
          kill -s "$signal" "$pid"
          finish $((128 + $(kill -l "$signal")))
          kept_old "${files[1]}"
          no_temporary
        done
      done
    done
  done << 'EOF'
unnamed named|compressor decompressor|HUP INT QUIT TERM
unnamed named|compressor|ILL TRAP ABRT BUS FPE USR1 SEGV USR2 PIPE ALRM STKFLT XCPU VTALRM PROF IO PWR SYS RTMIN RTMAX
unnamed|compressor decompressor|KILL
EOF
  check_modes
  ;;

resource_limits)
  # Each row: the limit, the modes, the command, the exit status, and the
  # message (none for a death by the limit's signal). A file-size limit is
  # the write error it is; the processor-time limit ends the run by SIGXCPU
  # (soft limit) or SIGKILL (hard limit); a memory limit is reported. Every
  # run keeps the old output and leaves nothing behind.
  ulimit -c 0
  small_pair
  make_inputs
  for mode in "${modes[@]}"; do
    set_mode "$mode"
    # The least address space, in steps of 256 KiB, in which the compressor
    # starts and prints its version: too little for its model.
    memory=2048
    until (ulimit -v $memory && "${in_mode[@]}" "$compressor" --version) > /dev/null 2>&1; do
      [ $((memory += 256)) -le 262144 ] || fail "the compressor does not start within 256 MiB"
    done
    while IFS=';' read -r limit row_modes command status message; do
      [[ " $row_modes " == *" $mode "* ]] || continue
      old_output out
      # The descriptors above 2 closed; the shell's report of a signal dropped.
      (exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&- && eval "ulimit $limit" && eval "$command 2> err.txt") \
        > out.txt 2> /dev/null
      got=$?
      [ "$got" = "$status" ] && [ "$(cat err.txt)" = "$message" ] ||
        fail "ulimit $limit; $command ($mode): exited $got: $(cat err.txt)"
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
    touch "$path" 2> /dev/null && rm "$path" || skip "this system refuses a path of $length bytes"
    run 0 "$compressor" paper1 "$path"
    old_output "$restored"
    run 0 "$decompressor" "$path" "$restored"
    cmp -s "$path" paper1.ari && cmp -s "$restored" paper1 || fail "the $length-byte paths do not hold the results"
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
  while read -r file_owner dir_owner user outcome; do
    as_user=() && [ "$user" = root ] || as_user=("${as_nobody[@]}")
    rm -rf sticky && mkdir sticky && chown "$dir_owner" sticky && chmod 1777 sticky
    for program in compressor decompressor; do
      [ $program = compressor ] && files=(paper1 paper1.ari) || files=(paper1.ari paper1)
      old_output sticky/f && chown "$file_owner" sticky/f && chmod 666 sticky/f
      if [ "$outcome" = refused ]; then
        expect_error 1 "$program: sticky/f: is another user's file in a sticky directory; only its owner may replace it" \
          "${as_user[@]}" "${!program}" "${files[0]}" sticky/f
        [ ! -s out.txt ] || fail "$program coded before refusing"
        kept_old sticky/f
      else
        run 0 "${as_user[@]}" "${!program}" "${files[0]}" sticky/f
        cmp -s sticky/f "${files[1]}" && [ "$(stat -c %u sticky/f)" = "$outcome" ] ||
          fail "$program did not replace sticky/f as $outcome ($file_owner $dir_owner $user)"
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
  # Each row: a name as printf writes it, and as messages quote it: names
  # with control characters or bytes that are not UTF-8 text are quoted for
  # the shell, so that each message stays one line and sends no escape
  # sequence to the terminal; printable names are printed as they are.
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

  small_pair
  for program in compressor decompressor; do
    # Each row: an unknown option, always quoted, then the line that points
    # at --help.
    while read -r format quoted; do
      run 2 "${!program}" "$(printf -- "$format")"
      [ "$(cat err.txt)" = "$program: unknown option $quoted"$'\n'"Try '$program --help' for more information." ] ||
        fail "$program $format: $(cat err.txt)"
    done << 'EOF'
-x '-x'
-\033] '-'$'\033'']'
EOF
    # --help and --version report a failed write.
    for option in --help --version; do
      expect_error 1 "$program: standard output: No space left on device" sh -c 'exec "$0" "$1" > /dev/full' "${!program}" $option
      expect_error 1 "$program: standard output: Bad file descriptor" sh -c 'exec "$0" "$1" >&-' "${!program}" $option
    done
    # An empty name is refused before any work: the compressor does not wait
    # for a standard input that never ends.
    [ $program = compressor ] && input=- || input=paper1.ari
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
  [ "$(od -An -c out.txt | tr -d ' \n')" = '\r0/53161\r16384/53161\r32768/53161\r49152/53161\n' ] ||
    fail "console text of a failed compression: $(od -c out.txt | head -5)"
  head -c $(($(stat -c %s paper1.ari) / 2)) paper1.ari > cut.ari
  run 1 "$decompressor" cut.ari cut.unp
  [ "$(head -c 8 out.txt)" = $'\r0/53161' ] && ! grep -q ' = ' out.txt ||
    fail "console text of a failed decompression: $(od -c out.txt | head -3)"
  absent cut.unp
  no_temporary
  ;;

*)
  fail "unknown case"
  ;;
esac
echo "PASS ($case_name)"
