#!/bin/sh
# Installs the build into a temporary prefix and checks what a distribution
# ships from it: the program, the command line without Qt, the desktop entry and the AppStream metainfo
# (each passing its validator), the icon in every size and a manual page that
# renders without warnings. Ends with 77 (skipped) when a validator is missing.
#   check-installed.sh CMAKE BUILD_FOLDER
set -u
cmake=$1
build=$2
id=io.github.corvane.Drovanta

for tool in desktop-file-validate appstreamcli groff; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed (scripts/deps installs it)"
        exit 77
    fi
done

prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log"; rm -f "$prefix.log"; exit 1; }
rm -f "$prefix.log"

status=0
fail() {
    echo "FAILED: $*"
    status=1
}

for file in bin/drovanta bin/drovanta-cli share/applications/$id.desktop share/metainfo/$id.metainfo.xml \
    share/icons/hicolor/scalable/apps/drovanta.svg share/man/man1/drovanta.1 share/doc/drovanta/LICENSE; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
for size in 16 24 32 48 64 128 256; do
    png="$prefix/share/icons/hicolor/${size}x${size}/apps/drovanta.png"
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    dimensions=$(od -An -tx1 -j16 -N8 "$png" 2>/dev/null | tr -d ' \n')
    expected=$(printf '%08x%08x' "$size" "$size")
    [ "$dimensions" = "$expected" ] || fail "no ${size}x${size} PNG icon"
done

# A server installs the command line without a desktop: no Qt library may
# come with it.
if command -v ldd >/dev/null 2>&1 && [ -f "$prefix/bin/drovanta-cli" ]; then
    libraries=$(ldd "$prefix/bin/drovanta-cli" 2>&1) || fail "ldd drovanta-cli: $libraries"
    qt=$(printf '%s\n' "$libraries" | grep -i 'libQt' || true)
    [ -z "$qt" ] || fail "drovanta-cli links Qt: $qt"
fi

desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"
warnings=$(groff -man -Tutf8 -ww -z "$prefix/share/man/man1/drovanta.1" 2>&1)
[ -z "$warnings" ] || fail "the manual page: $warnings"

exit $status
