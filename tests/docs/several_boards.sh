#!/usr/bin/env bash
# The README's "several boards at once": its program-virtual script, taken from the README
# itself, run by xargs against two virtual boards side by side. A board whose FLASH byte
# does not program must fail on its own and make xargs exit 123; the good one must pass.
# Usage: several_boards.sh ZELVANOR ZELVANOR_SIM SOURCE_DIR
set -u
zelvanor=$1
sim=$2
source_dir=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"
ln -s "$zelvanor" "$work/bin/zelvanor"
ln -s "$sim" "$work/bin/zelvanor-sim"
PATH="$work/bin:$PATH"
cd "$work" || exit 1
# The script names its part as the installed program would find it; a readable file of
# that name in the current folder is taken first.
cp "$source_dir/data/mc9s12dg128.dat" mc9s12dg128
cp "$source_dir/examples/blink.s19" app.s19
awk '/<!-- program-virtual -->/ { take = 1; next }
     take && /^```sh/ { next }
     take && /^```/ { exit }
     take { print }' "$source_dir/README.md" >program-virtual
chmod +x program-virtual
if ! grep -q zelvanor-sim program-virtual; then
  echo "no program-virtual script in the README"
  exit 1
fi

status=0
out=$(printf '%s\n' board1 'board2 --fault weak-flash:0x1C011' | xargs -L 1 -P 2 ./program-virtual)
code=$?
if [[ $code -ne 123 ]] || ! grep -qx 'board1 ok' <<<"$out" ||
   ! grep -qx 'board2 FAILED (see board2.log)' <<<"$out" ||
   ! grep -q 'FLASH data verify error at address <0xC011>' board2.log; then
  echo "one bad board: xargs status $code, output:"
  echo "$out"
  cat board2.log
  status=1
fi
out=$(printf '%s\n' board1 board2 | xargs -L 1 -P 2 ./program-virtual)
code=$?
if [[ $code -ne 0 ]]; then
  echo "two good boards: xargs status $code, output:"
  echo "$out"
  status=1
fi
exit $status
