#!/usr/bin/env bash
# Converts every hostile input in a folder into a scratch folder. Each must
# end with exit status 0 (converted) or 1 (refused); a 1 must come with a
# message naming the file, and the line where the fault is in one
# ("name.gbr:12: ..."; a file that holds no coordinate at all has no such
# line), or naming the grid whose solids no disk could hold. Any other status
# is a crash, a sanitizer report or an unexpected failure.
#   hostile_inputs.sh CONVERTER FOLDER [OPTION...]
# The options go to every conversion (--geometry exact runs the exact model).
set -u
converter=$1
folder=$2
shift 2
failures=0
count=0
err=$(mktemp)
out=$(mktemp -d)
trap 'rm -rf "$err" "$out"' EXIT
for input in "$folder"/*; do
  [ -f "$input" ] || continue
  count=$((count + 1))
  name=$(basename "$input")
  "$converter" -q --thickness 0.035 --out-dir "$out" "$@" "$input" >/dev/null 2>"$err"
  status=$?
  rm -f "$out"/*
  case $status in
    0) ;;
    1)
      quoted=$(printf '%s' "$name" | sed 's/[.[\*^$]/\\&/g')
      if ! grep -qE "$quoted:[0-9]+: |$quoted: the photoplot holds no|$quoted: the board has no area|: the grid of [0-9]+ x [0-9]+ lines makes solids of at least" "$err"; then
        echo "FAIL $name: exit 1 without the file and a line:" >&2
        cat "$err" >&2
        failures=$((failures + 1))
      fi
      ;;
    *)
      echo "FAIL $name: exit status $status" >&2
      cat "$err" >&2
      failures=$((failures + 1))
      ;;
  esac
done
echo "$count hostile inputs, $failures failures"
[ "$count" -gt 0 ] && [ "$failures" -eq 0 ]
