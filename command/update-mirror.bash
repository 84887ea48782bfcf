_update-mirror() {
    local IFS=$' \t\n'
    local args cur prev cmd opts arg
    args=("${COMP_WORDS[@]}")
    cur="${COMP_WORDS[COMP_CWORD]}"
    prev="${COMP_WORDS[COMP_CWORD-1]}"
    opts="-h --help -c --config --completion"

    case "$prev" in
        -c|--config)
            COMPREPLY=($(compgen -f -- "$cur"))
            return 0
            ;;
        --completion)
            COMPREPLY=($(compgen -W "bash zsh fish" -- "$cur"))
            return 0
            ;;
    esac

    args=("${args[@]:1}")
    for arg in "${args[@]}"; do
        case "$arg" in
            run)
                cmd="run"
                opts="$opts -h --help -q --quiet -n --dry-run --verify --wait --json --metrics"
                break
                ;;
            list)
                cmd="list"
                opts="$opts -h --help"
                break
                ;;
            verify)
                cmd="verify"
                opts="$opts -h --help --json"
                break
                ;;
            status)
                cmd="status"
                opts="$opts -h --help --history --json"
                break
                ;;
            export)
                cmd="export"
                opts="$opts -h --help"
                break
                ;;
            check)
                cmd="check"
                opts="$opts -h --help"
                break
                ;;
        esac
    done

    case "$cmd" in
        '')
            COMPREPLY=($(compgen -W "run list verify status export check" -- "$cur"))
            ;;
        'run')
            case "$prev" in
                --wait)
                    COMPREPLY=($(compgen -f -- "$cur"))
                    return 0
                    ;;
                --metrics)
                    COMPREPLY=($(compgen -f -- "$cur"))
                    return 0
                    ;;
            esac

            ;;
    esac

    if [[ "$cur" = -* ]]; then
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    fi
}

complete -F _update-mirror -o bashdefault -o default update-mirror
