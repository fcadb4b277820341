# bash completion for tavrik. Subcommands and options are read from the
# program's own --help, so they follow the installed version.
_tavrik() {
    local cur words=() path=() i
    cur="${COMP_WORDS[COMP_CWORD]}"
    # The subcommand path typed so far (words that are not options or values).
    for ((i = 1; i < COMP_CWORD; i++)); do
        case "${COMP_WORDS[i]}" in
            -*) ;;
            *) path+=("${COMP_WORDS[i]}") ;;
        esac
    done
    local help
    help=$("${COMP_WORDS[0]}" "${path[@]}" --help 2>/dev/null) || help=""
    if [[ "$cur" == -* ]]; then
        words=($(printf '%s\n' "$help" | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u))
    else
        words=($(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z0-9-]*\).*/\1/p'))
        if [ ${#words[@]} -eq 0 ]; then
            compopt -o filenames 2>/dev/null
            COMPREPLY=($(compgen -f -- "$cur"))
            return
        fi
    fi
    COMPREPLY=($(compgen -W "${words[*]}" -- "$cur"))
}
complete -F _tavrik tavrik
