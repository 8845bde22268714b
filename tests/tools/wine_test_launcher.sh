#!/bin/bash
# tools/wine-test with a stand-in for Wine: a start that fails without output
# is retried once (and says so), the retry's status is the result, and every
# run that printed anything or succeeded keeps its status, output and single
# start.
#   wine_test_launcher.sh PATH/TO/tools/wine-test
set -u
launcher=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/wine-test-launcher.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0

# The stand-in: counts its starts; the first $FAIL_STARTS of them end at once
# with status 66 and no output (as a start that Wine failed), later ones run
# the command given.
cat >"$work/fake-wine" <<'FAKE'
#!/bin/bash
n=$(($(cat "$STARTS" 2>/dev/null || echo 0) + 1))
echo "$n" >"$STARTS"
[ "$n" -le "${FAIL_STARTS:-0}" ] && exit 66
exec "$@"
FAKE
chmod +x "$work/fake-wine"

# run NAME FAIL_STARTS COMMAND...: runs the launcher; sets status, out, err, starts.
run() {
  local name=$1 fail_starts=$2
  shift 2
  rm -f "$work/starts"
  LUM_WINE="$work/fake-wine" STARTS="$work/starts" FAIL_STARTS=$fail_starts \
    "$launcher" "$@" >"$work/$name.out" 2>"$work/$name.err"
  status=$?
  out=$(cat "$work/$name.out")
  err=$(cat "$work/$name.err")
  starts=$(cat "$work/starts" 2>/dev/null || echo 0)
}
expect() {  # expect NAME WHAT GOT WANTED
  if [ "$3" != "$4" ]; then
    echo "$1: $2 is '$3', expected '$4'" >&2
    failed=1
  fi
}
retry_line='wine-test: sh ended with status 66 before printing anything (Wine failed to start it); starting it once more'

run started_second_time 1 sh -c 'echo "two words: $1"; echo "to stderr" >&2' - "a  b"
expect started_second_time status "$status" 0
expect started_second_time starts "$starts" 2
expect started_second_time stdout "$out" "two words: a  b"
expect started_second_time stderr "$err" "$retry_line"$'\n'"to stderr"

run never_started 5 sh -c 'echo unreachable'
expect never_started status "$status" 66
expect never_started starts "$starts" 2
expect never_started stdout "$out" ""
expect never_started stderr "$err" "$retry_line"

run failed_with_output 0 sh -c 'echo "[ RUN ] T.t"; exit 1'
expect failed_with_output status "$status" 1
expect failed_with_output starts "$starts" 1
expect failed_with_output stdout "$out" "[ RUN ] T.t"
expect failed_with_output stderr "$err" ""

run failed_with_errors_only 0 sh -c 'echo "crashed" >&2; exit 3'
expect failed_with_errors_only status "$status" 3
expect failed_with_errors_only starts "$starts" 1
expect failed_with_errors_only stderr "$err" "crashed"

run silent_success 0 sh -c 'exit 0'
expect silent_success status "$status" 0
expect silent_success starts "$starts" 1
expect silent_success stderr "$err" ""

run no_program 0
expect no_program status "$status" 2
expect no_program starts "$starts" 0

[ "$failed" = 0 ] && echo "wine-test launcher: all cases pass"
exit "$failed"
