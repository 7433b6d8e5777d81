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
streams="$(mktemp -d)"
restored="$archive/restored"
cleanUp() { rm -rf "$tree" "$backup" "$restored" "$stick/.drovanta"; }
trap 'cleanUp; rm -rf "$streams"' EXIT
cleanUp

# Runs the program; its output (without the console's CRs) in $out and $err,
# its exit code in $code. The streams go outside the drives, whose contents
# the checks compare.
run() {
    code=0
    "$wine" "$program" "$@" >"$streams/out" 2>"$streams/err" </dev/null || code=$?
    out="$(tr -d '\r' <"$streams/out")"
    err="$(tr -d '\r' <"$streams/err")"
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

# The backup checked against its fingerprints and its source, then a byte
# changed in it (size and time kept) found by both.
run --check 'E:\'
[ "$code" -eq 0 ] || fail "--check of the backup ended with $code: $out $err"
run --verify 'D:\' 'E:\'
[ "$code" -eq 0 ] || fail "--verify of the backup ended with $code: $out $err"
printf 'firsT\n' >"$backup/program-test/Docs/a.txt"
touch -d '2021-08-31 12:00:00' "$backup/program-test/Docs/a.txt"
run --check 'E:\'
[ "$code" -eq 1 ] || fail "--check of a changed backup ended with $code, not 1"
grep -qx '  program-test/Docs/a.txt' <<<"$out" || fail "--check does not name the changed file: $out"
run --verify 'D:\' 'E:\'
[ "$code" -eq 1 ] || fail "--verify of a changed backup ended with $code, not 1"
grep -qx '  program-test/Docs/a.txt' <<<"$out" || fail "--verify does not name the changed file: $out"

# A folder of the backup restored under its name; restored again over a
# newer file of the user's, which is kept.
mkdir -p "$restored"
item="E:\\$(basename "$backup")\\program-test"
run --restore "$item" 'D:\restored'
[ "$code" -eq 0 ] || fail "--restore ended with $code: $err"
diff -r "$backup/program-test" "$restored/program-test" >/dev/null 2>&1 ||
    fail "the restore differs from the backup: $(diff -r "$backup/program-test" "$restored/program-test" 2>&1 | head -5)"
printf 'mine\n' >"$restored/program-test/Docs/a.txt"
run --restore "$item" 'D:\restored'
[ "$code" -eq 0 ] || fail "a second --restore ended with $code: $err"
[ "$(cat "$restored/program-test/Docs/a.txt")" = mine ] || fail "the restore replaced the user's newer file"
grep -q '^Kept, differs from the backup: D:\\restored\\program-test\\Docs\\a.txt$' <<<"$err" ||
    fail "the restore does not name the file it kept: $err"

run --backup 'D:\' 'D:\'
[ "$code" -eq 2 ] || fail "D:\\ onto itself ended with $code, not 2"
grep -q 'Source must not be the same as destination.' <<<"$err" || fail "D:\\ onto itself: $err"

run --bogus
[ "$code" -eq 64 ] || fail "an unknown option ended with $code, not 64"

[ "$failures" -eq 0 ] && echo "passed"
exit $((failures > 0))
