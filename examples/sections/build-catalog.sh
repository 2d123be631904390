#!/usr/bin/env bash
# Builds the sample catalog of steel sections from the CSV files beside this script, with vdcatalog only:
#   build-catalog.sh VDCATALOG OUT.mdb
set -euo pipefail
vdcatalog=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)

rm -f "$out"
"$vdcatalog" create "$out" --type "Steel sections" --editor "vdpattern examples" --version 1 >/dev/null

# units.csv: a header of column names, then per family the unit of each column ("text" for a text column).
IFS=, read -r -a columns < <(head -n 1 "$here/units.csv" | tr -d '\r')
tail -n +2 "$here/units.csv" | tr -d '\r' | while IFS=, read -r -a units; do
  family=${units[0]}
  code=$(awk -F, -v f="$family" 'NR > 1 && $1 == f { print $2 }' "$here/families.csv")
  args=()
  for ((i = 1; i < ${#columns[@]}; i++)); do
    if [[ ${units[i]} == text ]]; then
      args+=(--column "${columns[i]}:TEXT")
    else
      args+=(--column "${columns[i]}:DOUBLE:${units[i]}")
    fi
  done
  "$vdcatalog" add-family "$out" "$family" --code "$code" "${args[@]}" >/dev/null
  "$vdcatalog" import "$out" "$family" "$here/$family.csv"
done

# open/: the open-data families (open/README.md). Every column but Name, Shape and Standard is a length in mm.
tail -n +2 "$here/open/families.csv" | tr -d '\r' | while IFS=, read -r family code _; do
  IFS=, read -r -a columns < <(head -n 1 "$here/open/$family.csv" | tr -d '\r')
  args=()
  for column in "${columns[@]:1}"; do
    case $column in
      Shape | Standard) args+=(--column "$column:TEXT") ;;
      *) args+=(--column "$column:DOUBLE:mm") ;;
    esac
  done
  "$vdcatalog" add-family "$out" "$family" --code "$code" "${args[@]}" >/dev/null
  "$vdcatalog" import "$out" "$family" "$here/open/$family.csv"
done
# aliases.csv: the spellings engineers also use for these sections (HE 300 A and IPBl 300 for HEA 300, HE 300 B
# and IPB 300 for HEB 300, EQA 120x12 for the equal angle L 120x120x12), added in one write.
"$vdcatalog" alias "$out" import "$here/aliases.csv" >/dev/null
