# bash completion for tavrik. Subcommands, options and the choices of an
# option are read from the program's own --help, so they follow the
# installed version.

# Subcommand names listed in a help text.
_tavrik_subcommands() {
    printf '%s\n' "$1" | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\).*/\1/p'
}

_tavrik() {
    local cur prev help sub i
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD - 1]}"
    # Follow the words typed so far that name a subcommand of the level
    # reached; objects, trustees and option values are not subcommands.
    local path=()
    help=$("${COMP_WORDS[0]}" --help 2>/dev/null) || help=""
    for ((i = 1; i < COMP_CWORD; i++)); do
        sub="${COMP_WORDS[i]}"
        if _tavrik_subcommands "$help" | grep -qx -- "$sub"; then
            path+=("$sub")
            help=$("${COMP_WORDS[0]}" "${path[@]}" --help 2>/dev/null) || help=""
        fi
    done

    # The value of an option with fixed choices, shown as TEXT:{a,b,c}.
    if [[ "$prev" == -* ]]; then
        local choices
        choices=$(printf '%s\n' "$help" | grep -E -- "(^|[ ,])${prev}( |,|$)" |
                  sed -n 's/.*:{\([^}]*\)}.*/\1/p' | head -n 1 | tr ',' ' ')
        if [ -n "$choices" ]; then
            COMPREPLY=($(compgen -W "$choices" -- "$cur"))
            return
        fi
    fi

    local words
    if [[ "$cur" == -* ]]; then
        words=$(printf '%s\n' "$help" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u)
    else
        words=$(_tavrik_subcommands "$help")
        if [ -z "$words" ]; then
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
        fi
    fi
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
}
complete -F _tavrik tavrik
