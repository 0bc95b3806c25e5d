#!/bin/sh
# The function length check passes a copy of the source tree with a 60-line function planted in
# it, and fails on a 61-line one, which it names.
#   check_function_length_test.sh CHECKER SRC
set -eu
checker=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$src" "$work/src"
plant() {  # plant NAME LINES: a function of LINES lines, a brace in a string and a comment in it
  { printf 'namespace halvane {\nint %s(int x) {\n  const char* s = "}";  // }\n' "$1"
    yes '  x += [&] { return x; }();' | head -n $(($2 - 3)); printf '}\n}  // namespace halvane\n'
  } >"$work/src/base/planted.cc"
}
plant Fits 60 && "$checker" "$work/src"
plant TooLong 61
if out=$("$checker" "$work/src"); then echo "not caught: a 61-line function" && exit 1; fi
case $out in *"base/planted.cc:2: TooLong is 61 lines (at most 60)"*) ;;
  *) echo "for a 61-line function the check said: $out" && exit 1 ;; esac
