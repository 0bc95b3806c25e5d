#!/bin/sh
# The layering check fails on a wrong include and on a table with a cycle, each planted in a copy
# of the source tree, which passes it unchanged.
#   check_layers_test.sh CHECKER SRC
set -eu
checker=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fresh() { rm -rf "$work/src" && cp -r "$src" "$work/src"; }
caught() {
  if out=$("$checker" "$work/src"); then echo "not caught: $1" && exit 1; fi
  case $out in *"$1"*) ;; *) echo "for \"$1\" the check said: $out" && exit 1 ;; esac
}
fresh && "$checker" "$work/src"
fresh && echo '#include "cli/validation.h"' >>"$work/src/config/port_request.cc"
caught "config/port_request.cc:" && caught "config may not include cli"
fresh && echo '#include "inventory/port_info.h"' >>"$work/src/sysfs/driver_settings.cc"
caught "sysfs may not include inventory"
fresh && sed -i 's/^base:$/base: cli/' "$work/src/layers.txt"
caught "base reaches itself"
