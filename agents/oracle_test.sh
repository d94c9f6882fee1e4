#!/usr/bin/env bash
# Runs the shipped BDM agent instruction by instruction on the independent CPU12 oracle
# (../shared/tools/cpu12-oracle; its binary from ZELV_CPU12_ORACLE or the oracle's default
# build folder) for the commands whose outcome does not depend on a FLASH or EEPROM module,
# which the oracle's flat memory does not have: the clock divider sum, the buffer it
# reports, the refusals, a FLASH read, and a word that reads back wrong.
#   oracle_test.sh <data dir>
set -uo pipefail
oracle="${ZELV_CPU12_ORACLE:-${XDG_CACHE_HOME:-$HOME/.cache}/cpu12-oracle/cpu12-oracle}"
if [[ ! -x "$oracle" ]]; then
  echo "cpu12-oracle not found ($oracle): skipped"
  exit 0
fi
agent="$1/hcs12-bdm-agent.s19"

# The agent's data records as oracle --load arguments.
loads=()
while read -r record; do
  record=${record%$'\r'}
  [[ $record == S1* ]] || continue
  count=$((16#${record:2:2}))
  loads+=(--load "${record:4:4}:${record:8:$((2 * (count - 3)))}")
done <"$agent"

failures=0
# run NAME EXPECTED-PARAMETER-BLOCK [EXTRA-DUMP EXPECTED] -- ORACLE-ARGS...
run() {
  local name=$1 expected=$2 extra_dump="" extra_expected=""
  shift 2
  if [[ $1 != -- ]]; then extra_dump=$1 extra_expected=$2; shift 2; fi
  shift
  local dumps=(--dump 3800:8)
  [[ -n $extra_dump ]] && dumps+=(--dump "$extra_dump")
  local out
  out=$("$oracle" "${loads[@]}" "$@" --reg pc=3808 --max-steps 200000 "${dumps[@]}")
  local stop params extra
  stop=$(grep '^stop' <<<"$out")
  params=$(grep '^mem 3800:' <<<"$out" | cut -d' ' -f3-)
  extra=$(grep '^mem' <<<"$out" | sed -n 2p | cut -d' ' -f3-)
  if [[ $stop != "stop bgnd" || $params != "$expected" ||
        ( -n $extra_dump && $extra != "$extra_expected" ) ]]; then
    echo "FAIL $name: $stop / $params / $extra"
    failures=$((failures + 1))
  fi
}

# Initialise: the divider for a few oscillators (FCLKDIV and ECLKDIV alike), status 1 where
# none fits. The buffer's address comes back at +2: the rest of the cases use it.
out=$("$oracle" "${loads[@]}" --load 3800:00023e80 --reg pc=3808 --dump 3800:8)
buffer=$(grep '^mem 3800:' <<<"$out" | awk '{ print $5 $6 }')
[[ $(grep '^mem' <<<"$out" | cut -d' ' -f7-8) == "02 00" ]] || { echo "FAIL buffer size"; failures=1; }
for c in 3e80:49 0fa0:13 01f4:02 01f3:-- 3200:3f 3201:48 ffff:68 0000:--; do
  khz=${c%%:*} fdiv=${c##*:}
  if [[ $fdiv == -- ]]; then
    run "init $khz" "00 01 ${khz:0:2} ${khz:2:2} 00 00 00 00" 0100:1 "00" -- --load "3800:0002$khz"
  else
    run "init $khz" "00 00 ${buffer:0:2} ${buffer:2:2} 02 00 00 00" 0100:1 "$fdiv" -- \
      --load "3800:0002$khz"
  fi
done

# Parameters refused (status 4) and commands not known (status 2), nothing touched.
run "unknown command" "03 02 00 00 00 00 00 00" -- --load 3800:0302
run "odd count" "0b 04 00 37 80 10 00 03" -- --load 3800:0b02003780100003
run "odd address" "0b 04 00 37 80 11 00 02" -- --load 3800:0b02003780110002
run "block 4" "0a 04 04 37 80 10 00 02" -- --load 3800:0a02043780100002
run "across a window" "0a 04 00 37 bf fe 00 04" -- --load 3800:0a020037bffe0004
run "below FLASH" "0a 04 00 37 3f fe 00 02" -- --load 3800:0a0200373ffe0002
run "beyond the buffer" "0a 04 00 37 80 00 02 02" -- --load 3800:0a02003780000202
run "erase block 5" "07 04 05 3f 00 00 00 00" -- --load 3800:0702053f
run "EEPROM over the agent" "05 04 39 00 00 10 00 00" -- --load 3800:0502390000100000 --load 0110:80
run "EEPROM wraps" "05 04 ff fe 00 04 00 00" -- --load 3800:0502fffe00040000 --load 0110:80
run "no EEPROM module" "01 02 00 00 00 00 00 00" -- --load 3800:0102

# Work without a module command: a read into the buffer; words that already hold the data.
run "FLASH read" "0a 00 00 37 80 10 00 04" "$buffer:4" "11 22 33 44" -- \
  --load 3800:0a02003780100004 --load 8010:11223344
run "FLASH words in place" "0b 00 00 3f ff 0e 00 02" -- \
  --load 3800:0b02003fff0e0002 --load ff0e:fffe --load "$buffer:fffe"
run "EEPROM words in place" "05 00 08 00 00 04 00 00" -- \
  --load 3800:0502080000040000 --load 0110:80 --load 0800:aabbccdd --load "$buffer:aabbccdd"
# An erased word over programmed FLASH is never "programmed": it reads back wrong (status 5,
# its address at +4).
run "0xFFFF over data" "0b 05 00 37 80 02 00 04" -- \
  --load 3800:0b02003780000004 --load 8000:ffff1234 --load "$buffer:ffffffff"

if ((failures > 0)); then
  echo "$failures case(s) failed"
  exit 1
fi
echo "all cases passed"
