# Sourced by the program test scripts, after they set case_name, compressor
# and corpus: checks the corpus, makes a work directory (removed at exit)
# and enters it, and defines the helpers the cases share.
[ -f "$corpus/book1" ] || { echo "FAIL: the test corpus is missing at $corpus"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # the privilege-dropping cases run as nobody
cd "$work"

fail() {
  echo "FAIL ($case_name): $*"
  exit 1
}
skip() {
  echo "SKIPPED ($case_name): $*"
  exit 77
}

# run STATUS PROGRAM ARGS...: runs the program with stdout and stderr kept in
# out.txt and err.txt, and checks its exit status.
run() {
  local want=$1
  shift
  "$@" > out.txt 2> err.txt < /dev/null
  local got=$?
  [ "$got" = "$want" ] || fail "'$*' exited $got, expected $want; stderr: $(cat err.txt)"
}

# expect_error STATUS MESSAGE PROGRAM ARGS...: the program fails with that
# status and exactly that one line on standard error.
expect_error() {
  local want=$1 message=$2
  shift 2
  run "$want" "$@"
  [ "$(cat err.txt)" = "$message" ] ||
    fail "'$*' wrote to stderr: '$(cat err.txt)', expected: '$message'"
}

# no_temporary DIR: no unfinished output (".name.XXXXXX") was left in DIR.
no_temporary() {
  local left
  left=$(find "${1:-.}" -maxdepth 1 -name '.*.??????' | head -5)
  [ -z "$left" ] || fail "temporary files left behind: $left"
}

# old_output FILE: puts a recognisable old file at FILE; kept_old FILE checks
# that it is still exactly there.
old_output() { printf 'old output, must survive\n' > "$1"; }
kept_old() {
  [ "$(cat "$1" 2> /dev/null)" = "old output, must survive" ] || fail "$1 was changed or removed"
}

absent() { [ ! -e "$1" ] && [ ! -L "$1" ] || fail "$1 exists but should not"; }

# A small real file and its compressed form, for the cases that need one.
small_pair() {
  cp "$corpus/paper1" paper1
  "$compressor" paper1 paper1.ari > /dev/null || fail "could not compress paper1"
}

# Sets as_nobody to the command prefix that runs a program without root's
# right to read and write anything (empty when not root); skips the case if
# privileges cannot be dropped.
set_as_nobody() {
  if [ "$(id -u)" = 0 ]; then
    command -v setpriv > /dev/null || skip "running as root and setpriv is missing"
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as_nobody[@]}" true 2> /dev/null || skip "running as root and cannot drop privileges"
  else
    as_nobody=()
  fi
}
