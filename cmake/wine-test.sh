#!/bin/sh
# Runs a Windows test program under Wine for CTest: wine-test.sh WINE PROGRAM [ARGUMENTS...]
# Qt Test sends its log to the debugger channel, not to stdout, when the process has no console,
# which is how Wine starts it from a pipe. The log goes to a file instead and is printed after.
log=$(mktemp "${TMPDIR:-/tmp}/corvane-wine-test.XXXXXX") || exit 1
wine=$1
program=$2
shift 2
"$wine" "$program" -o "Z:$log,txt" "$@"
status=$?
cat "$log"
rm -f "$log"
exit $status
