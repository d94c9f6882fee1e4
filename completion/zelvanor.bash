# bash completion for zelvanor                                  -*- shell-script -*-
# Options, interface names, address formats, EEPROM protection ranges, oscillator and baud
# values, file names, and for -t the target descriptions installed with the program.

# The data directory of the zelvanor found on PATH (<prefix>/bin/../share/zelvanor), then
# the two usual prefixes.
_zelvanor_data_dirs()
{
    local program
    program=$(command -v zelvanor 2>/dev/null)
    if [[ $program == */* ]]; then
        printf '%s\n' "${program%/*}/../share/zelvanor"
    fi
    printf '%s\n' /usr/local/share/zelvanor /usr/share/zelvanor
}

_zelvanor_targets()
{
    local dir file
    while IFS= read -r dir; do
        [[ -d $dir ]] || continue
        for file in "$dir"/*.dat; do
            [[ -e $file ]] || continue
            file=${file##*/}
            printf '%s\n' "${file%.dat}"
        done
        return
    done < <(_zelvanor_data_dirs)
}

_zelvanor_files()
{
    compopt -o filenames 2>/dev/null
    local IFS=$'\n'
    COMPREPLY+=($(compgen -f -- "$1"))
}

_zelvanor()
{
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=${COMP_WORDS[COMP_CWORD-1]}
    # --target=value: bash splits the word at '='.
    if [[ $cur == = ]]; then
        prev=${COMP_WORDS[COMP_CWORD-1]}
        cur=
    elif [[ $prev == = && $COMP_CWORD -ge 2 ]]; then
        prev=${COMP_WORDS[COMP_CWORD-2]}
    fi
    COMPREPLY=()

    case $prev in
        -i | --interface)
            COMPREPLY=($(compgen -W 'sm tbdml bdm12pod podex podex-bug podex-25 lrae' -- "$cur"))
            return
            ;;
        -a | --flash-address)
            COMPREPLY=($(compgen -W 'non-banked banked-linear banked-ppage' -- "$cur"))
            return
            ;;
        -D | --eeprom-protect)
            COMPREPLY=($(compgen -W 'all 64B 128B 192B 256B 320B 384B 448B 512B' -- "$cur"))
            return
            ;;
        -o | --osc)
            COMPREPLY=($(compgen -W '4M 8M 16M 25M 4915200' -- "$cur"))
            return
            ;;
        -b | --baud)
            COMPREPLY=($(compgen -W '9600 19200 38400 57600 115200' -- "$cur"))
            return
            ;;
        -t | --target)
            COMPREPLY=($(compgen -W "$(_zelvanor_targets)" -- "$cur"))
            _zelvanor_files "$cur"
            return
            ;;
        -p | --port)
            [[ -n $cur ]] || cur=/dev/tty
            _zelvanor_files "$cur"
            return
            ;;
        -G | -H | -B | -C | -X | --flash-read | --flash-write | --eeprom-read | \
            --eeprom-write | --ram-run | --verify-flash | --verify-eeprom)
            _zelvanor_files "$cur"
            return
            ;;
        -j | --start-address | -s | --srec-size | --srecord-size | -c | --chip)
            return
            ;;
    esac

    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W '-h --help --version -q --quiet -d --debug -f --force
            -i --interface -p --port -b --baud -t --target -o --osc -j --start-address
            -a --flash-address -e --include-erased -s --srec-size -v --verify
            -R --reset -X --ram-run -U --unsecure -S --secure -A --eeprom-erase
            -B --eeprom-read -C --eeprom-write -D --eeprom-protect -E --flash-erase
            -F --flash-erase-unsecure -G --flash-read -H --flash-write
            --verify-flash --verify-eeprom -Z --keep-lrae -Y --tbdml-bulk' -- "$cur"))
    fi
}

complete -F _zelvanor zelvanor
