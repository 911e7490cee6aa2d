# bash completion for zpxctl: its commands, and each command's actions and options.
_zpxctl() {
    local cur=${COMP_WORDS[COMP_CWORD]} cword=$COMP_CWORD
    local command=${COMP_WORDS[1]:-}
    if [ "$cword" -eq 1 ]; then
        COMPREPLY=($(compgen -W "demo open list info clock serial pod tap run net update mem --help --version" -- "$cur"))
        return
    fi
    local words=""
    case "$command" in
        pod) [ "$cword" -eq 3 ] && words="on off activate deactivate status" || words="--json --help" ;;
        mem) [ "$cword" -eq 2 ] && words="read write" || words="--help" ;;
        net) [ "$cword" -eq 3 ] && words="show set" || words="--json --ip --mac --dhcp --help" ;;
        update) [ "$cword" -eq 3 ] && words="firmware fpga" || words="--bytes --help" ;;
        info) words="--json --help" ;;
        clock) words="--set --json --help" ;;
        tap) words="--vout --vth --pins --json --help" ;;
        run) words="--clear --timeout --json --help" ;;
        demo) words="--type --vcd --help" ;;
        serial) words="--json --help" ;;
        open | list) words="--help" ;;
    esac
    case "$cur" in
        -* | "") COMPREPLY=($(compgen -W "$words" -- "$cur")) ;;
        *) COMPREPLY=($(compgen -W "${words//--*/}" -- "$cur")) ;;
    esac
}
complete -F _zpxctl zpxctl
