#!/usr/bin/env bash
# An install into a staging prefix: everything lands below the prefix, the simulator's
# test-only USB variants stay out, and the staged programs find their own data directory and
# libraries there: a shipped description and agent named without a path, the modem library
# (bdm12pod) and the USB stand-in (tbdml).
# Usage: install_prefix.sh CMAKE BUILD_DIR SOURCE_DIR
set -u
cmake=$1
build=$2
source_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/stage
status=0
fail() {
  echo "$*"
  status=1
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; exit 1; }
while read -r installed; do
  [[ $installed == "$prefix"/* ]] || fail "installed outside the prefix: $installed"
done <"$build/install_manifest.txt"
for file in bin/zelvanor bin/zelvanor-sim lib/zelvanor/libzelvanor-modem.so \
            lib/zelvanor/usb/libusb.so share/zelvanor/zelvanor-sim-bdm-agent.s19 \
            share/zelvanor/zelvanor-sim-lrae-agent.s19 share/man/man1/zelvanor.1 \
            share/man/man1/zelvanor-sim.1 share/man/man5/zelvanor.dat.5 \
            share/bash-completion/completions/zelvanor; do
  [[ -f $prefix/$file ]] || fail "not installed: $file"
done
for description in "$source_dir"/data/*.dat; do
  [[ -f $prefix/share/zelvanor/${description##*/} ]] || fail "not installed: $description"
done
for variant in usb-missing-symbol usb-unloadable usb-linker-script; do
  [[ ! -e $prefix/lib/zelvanor/$variant ]] || fail "test-only library installed: $variant"
done

# Sessions from a folder that holds nothing of the source tree.
cd "$work" || exit 1
cp "$source_dir/examples/blink.s19" app.s19
bin=$prefix/bin
"$bin/zelvanor" -i sm -p /dev/null -t no-such-part >out.txt 2>&1
grep -q "$prefix/share/zelvanor/no-such-part.dat" out.txt ||
  { cat out.txt; fail "the staged zelvanor does not look in its own data directory"; }
"$bin/zelvanor-sim" --part dg128 --state sm.sim -- \
  "$bin/zelvanor" -q -i sm -p @PORT@ -t mc9s12dg128 -E -H app.s19 --verify-flash app.s19 \
  >out.txt 2>&1 || { cat out.txt; fail "sm session from the staged install failed"; }
{
  grep -v '^bdm_' "$prefix/share/zelvanor/mc9s12dp256.dat"
  printf '%s\n' 'bdm_init_byte 0x0010 0x39' 'bdm_init_byte 0x0012 0x41' \
    'bdm_agent zelvanor-sim-bdm-agent.s19' 'bdm_flash_read agent'
} >agent.dat
"$bin/zelvanor-sim" --part dp256 --pod bdm12pod --osc 16M -- \
  "$bin/zelvanor" -q -i bdm12pod -p @PORT@ -o 16M -t agent.dat -G read.s19 \
  >out.txt 2>&1 || { cat out.txt; fail "bdm12pod session by agent from the staged install failed"; }
"$bin/zelvanor-sim" --part dp256 --pod tbdml -- "$bin/zelvanor" -q -i tbdml -t mc9s12dp256 \
  >out.txt 2>&1 || { cat out.txt; fail "tbdml session from the staged install failed"; }
exit $status
