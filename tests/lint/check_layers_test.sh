#!/bin/sh
# The layering check fails on a wrong include, in code or in a test, in either form of include,
# on two units that include each other and on a table with a cycle, each planted in a copy of the
# project's sources, which passes it unchanged.
#   check_layers_test.sh CHECKER ROOT
set -eu
checker=$1 root=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fresh() {
  rm -rf "$work/src" "$work/tests" "$work/fuzz"
  cp -r "$root/src" "$work/src"
  mkdir "$work/tests" "$work/fuzz"
  (cd "$root" && find tests fuzz -name '*.cc' -o -name '*.h') | while read -r f; do
    mkdir -p "$work/$(dirname "$f")" && cp "$root/$f" "$work/$f"
  done
}
caught() {
  if out=$("$checker" "$work"); then echo "not caught: $1" && exit 1; fi
  case $out in *"$1"*) ;; *) echo "for \"$1\" the check said: $out" && exit 1 ;; esac
}
fresh && "$checker" "$work"
fresh && echo '#include "cli/validation.h"' >>"$work/src/config/port_request.cc"
caught "config/port_request.cc:" && caught "config may not include cli"
fresh && echo '#include <inventory/port_info.h>' >>"$work/src/sysfs/driver_settings.cc"
caught "sysfs may not include inventory"
fresh && echo '#include "listing/metrics.h"' >>"$work/tests/base/text_test.cc"
caught "tests/base/text_test.cc:" && caught "base may not include listing"
fresh && echo '#include "base/file_io.h"' >>"$work/src/base/text.h"
echo '#include "base/text.h"' >>"$work/src/base/file_io.h"
caught "units include each other: base/file_io -> base/text -> base/file_io"
fresh && sed -i 's/^base:$/base: cli/' "$work/src/layers.txt"
caught "base reaches itself"
