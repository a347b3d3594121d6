#!/usr/bin/env bash
# Test emulator: runs one Windows program under Wine and fails it on any crash, whatever its exit
# code says. Expects the environment that scripts/with-wine.sh sets up (WINEPREFIX, DISPLAY).
#
# The exit code alone cannot be trusted: a process that Wine's crash debugger ends can return 0 to
# the shell (seen with a page fault in a window procedure of a test program with several threads,
# although Wine's server recorded the exception code as its exit code).
#
#   scripts/wine-run.sh <program.exe> [args...]
#
# - Any unhandled exception that Wine reports, in the program or in a process it started with its
#   standard error, fails the run.
# - A GoogleTest program (one given any --gtest_ option) must also write its XML report: the report
#   is written only after every selected test has run, so a process that ended early, even with
#   exit code 0, fails.
if [ -z "${WINEPREFIX:-}" ] || [ -z "${DISPLAY:-}" ]; then
  echo "wine-run: run through scripts/with-wine.sh (WINEPREFIX and DISPLAY are not set)" >&2
  exit 2
fi
export WINEDEBUG=${WINEDEBUG:--all}

gtest=0
for argument in "$@"; do
  case $argument in --gtest_*) gtest=1 ;; esac
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
output=$scratch/output
report=
if [ $gtest -eq 1 ]; then
  report=$scratch/report.xml
  # Wine sees the Unix path through drive Z:.
  set -- "$@" "--gtest_output=xml:Z:${report//\//\\}"
fi

# The output goes to a file, streamed from there as it comes (ctest shows it on failure, a time-out
# included). Not through a pipe: Wine services that the program starts (explorer.exe) inherit its
# standard handles and outlive it, and a reader of the pipe would wait for them.
# Made before tail opens it: the shell may create it only after tail has looked.
: >"$output"
wine "$@" >"$output" 2>&1 &
program=$!
tail -s 0.2 -n +1 -f --pid=$program "$output" &
streamer=$!
wait $program
rc=$?
wait $streamer

verdict() {
  echo "wine-run: $*" >&2
  [ "$rc" -ne 0 ] && exit "$rc"
  exit 1
}

if grep -qE 'Unhandled (exception|page fault|illegal instruction|stack overflow|privileged instruction)|wine: Unhandled' \
    "$output"; then
  verdict "FAILED: a process crashed (see Wine's \"Unhandled\" line above); exit code $rc"
fi
if [ -n "$report" ]; then
  if [ ! -s "$report" ]; then
    verdict "FAILED: the test program ended (exit code $rc) before writing its report: a test ended the process"
  fi
  # A filter that selects nothing is a mistake in the test's registration, not a pass.
  if ! grep -qE '<testsuites tests="[1-9]' "$report"; then
    verdict "FAILED: the test program ran no test"
  fi
fi
exit "$rc"
