#!/bin/sh
# The layering check passes a copy of the project's sources unchanged and fails on each fault of
# layer_faults.txt planted in it: a wrong include, in code or in a test, in either form of
# include, two units that include each other, and a table with a cycle.
#   check_layers_test.sh CHECKER ROOT
set -eu
checker=$1 root=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/src" "$root/tests" "$root/fuzz" "$work/"
"$checker" "$work"
planted=
grep -v '^#' "$(dirname "$0")/layer_faults.txt" | while IFS='|' read -r file edit said; do
  sed -i "$edit" "$work/$file"
  planted="$planted $file"
  [ -n "$said" ] || continue
  if out=$("$checker" "$work"); then echo "not caught: $said" && exit 1; fi
  echo "$out" | grep -qE "$said" || { echo "for \"$said\" the check said: $out" && exit 1; }
  for f in $planted; do cp "$root/$f" "$work/$f"; done
  planted=
done
