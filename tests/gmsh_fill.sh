#!/usr/bin/env bash
# Converts boards with the exact model, in both encodings, and has gmsh fill
# each solid with tetrahedra. A solid that is not a closed, consistently
# oriented surface makes gmsh fail or leaves its volume without tetrahedra.
#   gmsh_fill.sh CONVERTER GMSH SOURCE_DIR
set -u
converter=$1
gmsh=$2
source_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
count=0
# Each job: the photoplot, then any options of its own (the example also
# drilled with its holes, under another name).
jobs=("$source_dir/examples/board.gbr" "$source_dir/tests/data/pad.gbr"
      "$source_dir/tests/data/track_pad.gbr")
for input in "$source_dir"/tests/data/image/*.gbr "$source_dir"/tests/data/excerpts/*.gbr; do
  jobs+=("$input")
done
cp "$source_dir/examples/board.gbr" "$work/drilled.gbr"
jobs+=("$work/drilled.gbr --drill $source_dir/examples/board.drl")
for job in "${jobs[@]}"; do
  read -r input options <<<"$job"
  [ -f "$input" ] || continue
  name=$(basename "$input" .gbr)
  for format in ascii binary; do
    # shellcheck disable=SC2086
    if ! "$converter" -q --geometry exact --stl "$format" --thickness 0.035 \
        --out-dir "$work" $options "$input" 2>"$work/err"; then
      echo "FAIL $name ($format): the conversion failed:" >&2
      cat "$work/err" >&2
      failures=$((failures + 1))
      continue
    fi
    for solid in CND INS; do
      stl="$work/${name}_$solid.stl"
      # An empty solid (no copper) has nothing to fill.
      [ "$(stat -c %s "$stl")" -gt 200 ] || continue
      count=$((count + 1))
      printf 'Merge "%s";\nSurface Loop(1) = {1};\nVolume(1) = {1};\n' "$stl" >"$work/fill.geo"
      if ! timeout 300 "$gmsh" -3 -nt 1 "$work/fill.geo" -o "$work/fill.msh" -format msh2 \
          >"$work/log" 2>&1; then
        echo "FAIL $name $solid ($format): gmsh failed:" >&2
        grep -iE "error|warning" "$work/log" | head -5 >&2
        failures=$((failures + 1))
        continue
      fi
      # msh2: elements of type 4 are tetrahedra.
      tets=$(awk '/^\$Elements/{n=1; next} /^\$EndElements/{n=0} n>1 && $2==4 {t++} n{n++} END{print t+0}' \
        "$work/fill.msh")
      if [ "$tets" -eq 0 ]; then
        echo "FAIL $name $solid ($format): no tetrahedra" >&2
        failures=$((failures + 1))
      fi
    done
    rm -f "$work"/*.stl "$work"/*.msh
  done
done
echo "$count solids filled by gmsh, $failures failures"
[ "$count" -gt 0 ] && [ "$failures" -eq 0 ]
