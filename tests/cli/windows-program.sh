#!/usr/bin/env bash
# The Windows command-line program under Wine: the drive list, a backup of
# D:\ into E:\, and one drive as both source and destination. Needs the Wine
# drives that scripts/test-windows sets up (D: "Archive", E: "Stick").
set -euo pipefail
wine="$1"
program="$2"

if [ -z "${WINEPREFIX:-}" ] || [ ! -e "$WINEPREFIX/dosdevices/d:" ] || [ ! -e "$WINEPREFIX/dosdevices/e:" ]; then
    echo "skipped: run through scripts/test-windows, which sets up the Wine drives D: and E:"
    exit 77
fi
archive="$(readlink -f "$WINEPREFIX/dosdevices/d:")"
stick="$(readlink -f "$WINEPREFIX/dosdevices/e:")"
if ! mountpoint -q "$archive" || ! mountpoint -q "$stick"; then
    # A backup of a whole drive onto another needs room for all of its used
    # bytes; D: and E: on the host's disk never have it.
    echo "skipped: D: and E: are not drives of their own here (scripts/test-windows mounts them as root)"
    exit 77
fi
tree="$archive/program-test"
backup="$stick/Backup $(date +%m-%d-%Y)"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanUp() { rm -rf "$tree" "$backup"; }
trap cleanUp EXIT
cleanUp

# Runs the program; its output (without the console's CRs) in $out and $err,
# its exit code in $code.
run() {
    code=0
    "$wine" "$program" "$@" >"$tree.out" 2>"$tree.err" </dev/null || code=$?
    out="$(tr -d '\r' <"$tree.out")"
    err="$(tr -d '\r' <"$tree.err")"
    rm -f "$tree.out" "$tree.err"
}

mkdir -p "$tree/Docs/deeper" "$tree/Empty"
printf 'first\n' >"$tree/Docs/a.txt"
head -c 300000 /dev/urandom >"$tree/Docs/deeper/blob.bin"
printf 'Grüße\n' >"$tree/Docs/Grüße.txt"
: >"$tree/Docs/empty"
touch -d '2021-08-31 12:00:00' "$tree/Docs/a.txt"

run --list
[ "$code" -eq 0 ] || fail "--list ended with $code: $err"
grep -qP '^Archive \(D:\)\tD:\\\t[0-9]+$' <<<"$out" || fail "--list does not show D: as 'Archive (D:)': $out"
grep -qP '^Stick \(E:\)\tE:\\\t[0-9]+$' <<<"$out" || fail "--list does not show E: as 'Stick (E:)': $out"

run --quiet --backup 'D:\' 'E:\'
[ "$code" -eq 0 ] || fail "the backup of D:\\ into E:\\ ended with $code: $err"
if diff -r "$tree" "$backup/program-test" >/dev/null 2>&1; then
    [ "$(stat -c %Y "$backup/program-test/Docs/a.txt")" = "$(stat -c %Y "$tree/Docs/a.txt")" ] ||
        fail "the copy of a.txt lost its modification time"
else
    fail "the backup differs from the source: $(diff -r "$tree" "$backup/program-test" 2>&1 | head -5)"
fi
grep -q '^Summary: ' <<<"$err" || fail "no summary line after the backup: $err"

run --backup 'D:\' 'D:\'
[ "$code" -eq 2 ] || fail "D:\\ onto itself ended with $code, not 2"
grep -q 'Source must not be the same as destination.' <<<"$err" || fail "D:\\ onto itself: $err"

run --bogus
[ "$code" -eq 64 ] || fail "an unknown option ended with $code, not 64"

[ "$failures" -eq 0 ] && echo "passed"
exit $((failures > 0))
