#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop needs of it: every file in
# place, the programs running from there, the desktop entry and metainfo valid, and a MIME type
# in the desktop entry for every extension the readers register.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=${1:?build dir}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
id=org.example.pictolan
for f in bin/pictolan bin/pictolan-probe lib/pictolan/libtexbridge.so \
         share/applications/$id.desktop share/metainfo/$id.metainfo.xml share/mime/packages/pictolan.xml \
         share/icons/hicolor/scalable/apps/$id.svg share/icons/hicolor/48x48/apps/$id.png \
         share/icons/hicolor/256x256/apps/$id.png share/man/man1/pictolan.1 share/man/man1/pictolan-probe.1; do
  [ -e "$prefix/$f" ] || fail "not installed: $f"
done

# The installed programs find the texture library beside them, not in the build tree.
env -u LD_LIBRARY_PATH "$prefix/bin/pictolan-probe" formats > "$prefix/formats.txt" || fail "installed probe does not run"
# Compared by real path: the scratch folder may sit behind a symbolic link, which the loader resolves.
found_lib=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/pictolan" | sed -n 's/.*libtexbridge\.so => \(.*\) (0x.*/\1/p')
[ -n "$found_lib" ] && [ "$(realpath "$found_lib")" = "$(realpath "$prefix/lib/pictolan/libtexbridge.so")" ] \
  || fail "pictolan does not find its texture library (found: ${found_lib:-nothing})"

# The installed program answers --version and --help as Qt programs do, with no display needed.
expected="Pictolan $(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
version=$(QT_QPA_PLATFORM=offscreen env -u LD_LIBRARY_PATH "$prefix/bin/pictolan" --version 2>/dev/null) \
  || fail "installed pictolan --version"
[ "$version" = "$expected" ] || fail "pictolan --version says \"$version\", not \"$expected\""
QT_QPA_PLATFORM=offscreen "$prefix/bin/pictolan" --help 2>/dev/null | grep -q "FOLDER | FILE" || fail "pictolan --help"

desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" >/dev/null || fail "metainfo"

# Every registered extension has a type, from the shared database or our own package, and the
# desktop entry offers that type.
types=$(awk '
  { line = $0
    if (match(line, /<mime-type type="[^"]*"/)) type = substr(line, RSTART + 17, RLENGTH - 18)
    while (match(line, /pattern="\*\.[^"]*"/)) {
      print tolower(substr(line, RSTART + 11, RLENGTH - 12)) "\t" type
      line = substr(line, RSTART + RLENGTH)
    } }' /usr/share/mime/packages/freedesktop.org.xml "$prefix/share/mime/packages/pictolan.xml")
offered=";$(sed -n 's/^MimeType=//p' "$prefix/share/applications/$id.desktop")"
for ext in $(cut -f1 "$prefix/formats.txt") vtf; do
  found=0
  while IFS=$'\t' read -r e t; do
    [ "$e" = "$ext" ] || continue
    case "$offered" in *";$t;"*) found=1 ;; esac
  done <<< "$types"
  [ $found -eq 1 ] || fail "no offered MIME type for .$ext"
done
echo "installed, valid, and $(wc -l < "$prefix/formats.txt") extensions offered"
