#!/usr/bin/env bash
# The README's recipe for bringing an ELF or Intel HEX file into S-records: builds the
# example from its source, converts it both ways, compares the data with the shipped
# S-record file, and programs the result into a virtual DG128 with -v.
# Usage: srec_recipe.sh ZELVANOR ZELVANOR_SIM SOURCE_DIR
set -u
zelvanor=$1
sim=$2
source_dir=$3
for tool in m68hc11-as m68hc11-ld m68hc11-objcopy srec_cat srec_cmp; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not installed"
    exit 77
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
set -e

m68hc11-as -m68hcs12 -o blink.o "$source_dir/examples/blink.s"
m68hc11-ld -T "$source_dir/examples/blink.ld" -o app.elf blink.o

# ELF: objcopy writes S-records directly.
m68hc11-objcopy -O srec app.elf app.s19
srec_cmp app.s19 "$source_dir/examples/blink.s19"

# Intel HEX (what many IDEs write): srec_cat turns it into S-records.
m68hc11-objcopy -O ihex app.elf app.hex
srec_cat app.hex -intel -o from-hex.s19 -motorola
srec_cmp from-hex.s19 "$source_dir/examples/blink.s19"

for file in app.s19 from-hex.s19; do
  "$sim" --part dg128 -- "$zelvanor" -q -i sm -p @PORT@ -t "$source_dir/data/mc9s12dg128.dat" \
    -v -E -H "$file"
done
echo "recipe ok"
