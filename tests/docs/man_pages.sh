#!/usr/bin/env bash
# The manual pages render without a warning, and zelvanor(1) names every option of the usage
# text: an option added to the program but not to its manual fails here.
# Usage: man_pages.sh ZELVANOR MAN_DIR
set -u
zelvanor=$1
man_dir=$2
if ! command -v groff >/dev/null; then
  echo "groff not installed"
  exit 77
fi

status=0
for page in "$man_dir"/zelvanor.1 "$man_dir"/zelvanor-sim.1 "$man_dir"/zelvanor.dat.5; do
  warnings=$(groff -ww -z -man "$page" 2>&1)
  if [[ -n $warnings ]]; then
    echo "$page renders with warnings:"
    echo "$warnings"
    status=1
  fi
done

# The option lines of the usage text start with blanks and a dash: "  -s <size>, --srec-size".
usage=$("$zelvanor" -h 2>&1)
options=$(grep -E '^ +-' <<<"$usage" | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' |
          tr -d ' ,' | sort -u)
if [[ -z $options ]]; then
  echo "no options found in the usage text of $zelvanor"
  exit 1
fi
for option in $options; do
  # A long option anywhere; a short one as a word of its own ("\-j," or "\-j "), so that
  # "\-a" inside "\-\-flash\-address" does not count.
  escaped=${option//-/\\\\-}
  if [[ $option == --* ]]; then
    pattern="$escaped|${option}"
  else
    pattern="(^|[ \"])($escaped|$option)([ ,\"]|\$)"
  fi
  if ! grep -qE -- "$pattern" "$man_dir/zelvanor.1"; then
    echo "zelvanor(1) does not name $option"
    status=1
  fi
done
exit $status
