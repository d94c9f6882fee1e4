#!/usr/bin/env bash
# Sources the bash completion and completes a few words as bash would: options, interface
# names, address formats, protection ranges, file names, and the target names of the data
# directory beside the zelvanor found on PATH.
# Usage: completion.sh COMPLETION_FILE
set -u
completion=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/prefix/bin" "$work/prefix/share/zelvanor" "$work/cwd"
printf '#!/bin/sh\n' >"$work/prefix/bin/zelvanor"
chmod +x "$work/prefix/bin/zelvanor"
touch "$work/prefix/share/zelvanor/mc9s12dp256.dat" "$work/prefix/share/zelvanor/mc9s12dp512.dat" \
      "$work/prefix/share/zelvanor/mc9s12c32.dat" "$work/cwd/app.s19" "$work/cwd/apx.s19"
PATH="$work/prefix/bin:$PATH"
cd "$work/cwd" || exit 1
# shellcheck source=/dev/null
source "$completion" || exit 1

status=0
# Each case: the words of the line (the last one is being completed) | the expected replies.
while IFS='|' read -r line expected; do
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _zelvanor
  got=
  ((${#COMPREPLY[@]})) && got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  want=$(tr ' ' '\n' <<<"$expected" | grep -v '^$' | sort | tr '\n' ' ')
  if [[ $got != "$want" ]]; then
    echo "'$line': got '$got', expected '$want'"
    status=1
  fi
done <<'CASES'
zelvanor -i p|podex podex-bug podex-25
zelvanor --interface = s|sm
zelvanor -a banked-|banked-linear banked-ppage
zelvanor -D 1|128B 192B
zelvanor -t mc9s12dp|mc9s12dp256 mc9s12dp512
zelvanor --target mc9s12c|mc9s12c32
zelvanor -H ap|app.s19 apx.s19
zelvanor --verify-flash app|app.s19
zelvanor -v --verify-|--verify-flash --verify-eeprom
zelvanor --flash-e|--flash-erase --flash-erase-unsecure
zelvanor -E |
CASES
exit $status
