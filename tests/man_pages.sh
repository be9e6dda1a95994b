#!/usr/bin/env bash
# The manual page of a program lists exactly the options its --help lists:
# an option added to the program without a manual entry, or an entry left
# behind by an option that is gone, fails here. Every page given must also
# format without a warning from groff.
#   man_pages.sh PROGRAM PAGE [MORE_PAGES...]
set -u
program=$1
page=$2
status=0

# Option names at the start of the lines of --help's "Options:" block:
# "  -q,--quiet   ..." gives -q and --quiet, "--elevation MM=0.0" --elevation.
help_options=$("$program" --help | awk '
  /^[^ ]/ { block = ($0 ~ /^Options:/); next }
  block && /^ +-/ { print $1 }' | tr ',' '\n' | sed 's/[={:[].*//' | sort -u)

# Option names in the headings of the tagged paragraphs (.TP) of the page's
# OPTIONS section, with the font changes and escaped hyphens undone.
page_options=$(awk '
  /^\.SH/ { section = $2; next }
  section == "OPTIONS" && previous == ".TP" { print }
  { previous = $0 }' "$page" |
  sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' |
  grep -oE '(^|[ ,])--?[A-Za-z0-9][A-Za-z0-9-]*' | sed 's/^[ ,]*//' | sort -u)

if ! grep -qx -- '--help' <<<"$help_options"; then
  echo "FAIL: no options found in the --help of $program:" >&2
  "$program" --help >&2
  exit 1
fi
missing=$(comm -23 <(echo "$help_options") <(echo "$page_options"))
stale=$(comm -13 <(echo "$help_options") <(echo "$page_options"))
if [ -n "$missing" ]; then
  echo "FAIL: $page has no entry under OPTIONS for:" $missing >&2
  status=1
fi
if [ -n "$stale" ]; then
  echo "FAIL: $page has entries for options that $program --help does not list:" $stale >&2
  status=1
fi

for each in "${@:2}"; do
  warnings=$(groff -man -Tutf8 -ww -z "$each" 2>&1)
  if [ -n "$warnings" ]; then
    echo "FAIL: $each: groff warns:" >&2
    echo "$warnings" >&2
    status=1
  fi
done
[ $status -eq 0 ] && echo "$(wc -w <<<"$help_options") options in --help and in $(basename "$page")"
exit $status
