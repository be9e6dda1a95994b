#!/usr/bin/env bash
# Installs a build into a scratch DESTDIR under the prefix /usr, as the
# Debian package does, and checks what lands there: exactly the expected
# files with their modes, a converter that runs from there, manual pages
# that carry the version, and a launcher entry that names the installed
# program and icon.
#   install_tree.sh BUILD_DIR GUI(ON|OFF) VERSION
set -u
build=$1
gui=$2
version=$3
stage=$(mktemp -d)
log=$(mktemp)
trap 'rm -rf "$stage" "$log"' EXIT
status=0
fail() {
  echo "FAIL: $*" >&2
  status=1
}

if ! DESTDIR="$stage" cmake --install "$build" --prefix /usr >"$log" 2>&1; then
  cat "$log" >&2
  fail "cmake --install"
  exit 1
fi

expected="755 usr/bin/foilcad-convert
644 usr/share/doc/foilcad/LICENSE
644 usr/share/doc/foilcad/README.md
644 usr/share/doc/foilcad/copyright
644 usr/share/man/man1/foilcad-convert.1.gz"
if [ "$gui" = ON ]; then
  expected+="
755 usr/bin/foilcad
644 usr/share/applications/foilcad.desktop
644 usr/share/icons/hicolor/scalable/apps/foilcad.svg
644 usr/share/man/man1/foilcad.1.gz"
fi
expected=$(sort -k2 <<<"$expected")
actual=$(cd "$stage" && find . ! -type d -printf '%m %P\n' | sort -k2)
if [ "$actual" != "$expected" ]; then
  fail "installed files differ from the expected list:"
  diff <(echo "$expected") <(echo "$actual") >&2
fi
odd_dirs=$(cd "$stage" && find . -mindepth 1 -type d ! -perm 755 -printf '%m %P\n')
[ -z "$odd_dirs" ] || fail "folders that are not 755: $odd_dirs"

# The installed converter is the one that was built, and it runs.
said=$("$stage/usr/bin/foilcad-convert" --version 2>&1)
[ "$said" = "foilcad-convert $version" ] || fail "--version of the installed converter said: $said"

for page in "$stage"/usr/share/man/man1/*.1.gz; do
  gzip -t "$page" || fail "$page is not gzip"
  zcat "$page" | grep -q "^\.TH .* \"foilcad $version\"" || fail "$page does not carry the version"
  ! zcat "$page" | grep -q '@[A-Z_]*@' || fail "$page has an unfilled @VARIABLE@"
done

if [ "$gui" = ON ]; then
  entry=$stage/usr/share/applications/foilcad.desktop
  desktop-file-validate "$entry" || fail "desktop-file-validate $entry"
  grep -qx 'Exec=foilcad' "$entry" || fail "the desktop entry does not start foilcad"
  grep -qx 'Icon=foilcad' "$entry" || fail "the desktop entry does not name the icon foilcad"
fi
[ $status -eq 0 ] && echo "$(wc -l <<<"$actual") files installed as expected"
exit $status
