# bash completion for reflasher: the options as `reflasher --help` lists them (so new options
# complete without a change here), the COM port numbers and the serial devices that
# `reflasher --list-ports` finds for --port and station --ports, the designs for --restore.
_reflasher() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local program=${COMP_WORDS[0]} station= word
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
        [[ $word == station ]] && station=station
    done
    local ports
    ports() {
        # The numbers, then every device path and alias the listing shows (first word of a line).
        printf '%s\n' 1 2 3 4
        command "$program" --list-ports 2>/dev/null | awk '$1 ~ /^\// { print $1 }'
    }
    case $prev in
        --port)
            mapfile -t COMPREPLY < <(compgen -W "$(ports)" -- "$cur")
            return ;;
        --ports)
            # A comma-separated list: complete its last element, keep the ones before.
            local done=${cur%,*}, last=${cur##*,}
            [[ $cur == *,* ]] || done=
            mapfile -t COMPREPLY < <(compgen -P "$done" -W "$(ports)" -- "$last")
            compopt -o nospace 2>/dev/null || true
            return ;;
        --restore)
            mapfile -t COMPREPLY < <(compgen -W "white grey" -- "$cur")
            return ;;
        --record)
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            return ;;
        --dev-root)
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            return ;;
    esac
    local options
    options=$(command "$program" $station --help 2>/dev/null |
        sed -n '/^Options of/q; s/^  \(-[-a-zA-Z]*\)\(, \(--[-a-z]*\)\)*.*/\1 \3/p' | tr ' ' '\n' | grep -- '^-')
    [[ -z $station && $cur != -* ]] && options+=$'\nstation'
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
}
complete -F _reflasher reflasher
