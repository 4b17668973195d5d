# bash completion for veltrane-cli: subcommands, options, the values of --to, files and folders.
_veltrane_cli() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local subcommand="" i
    for ((i = 1; i < COMP_CWORD; i++)); do
        case ${COMP_WORDS[i]} in
            probe | scan | convert)
                subcommand=${COMP_WORDS[i]}
                break
                ;;
        esac
    done

    local IFS=$'\n'
    case $prev in
        --to)
            COMPREPLY=($(compgen -W $'16:9\n4:3\nflip' -- "$cur"))
            # bash splits words at the colon: complete only what follows it.
            if [[ $cur == *:* ]]; then
                COMPREPLY=("${COMPREPLY[@]#*:}")
            fi
            return
            ;;
        --out-dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        -o | --output)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
    esac

    local options
    case $subcommand in
        "")
            options=$'probe\nscan\nconvert\n--help\n--version\n-h\n-V'
            COMPREPLY=($(compgen -W "$options" -- "$cur"))
            return
            ;;
        probe) options=$'--json\n--quiet\n--help\n--version' ;;
        scan) options=$'--recursive\n--json\n--quiet\n--help\n--version' ;;
        convert)
            options=$'--to\n--output\n--out-dir\n--in-place\n--force\n--recursive\n--dry-run\n--json\n--quiet\n--help\n--version'
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
        compopt -o filenames 2>/dev/null
    fi
}
complete -F _veltrane_cli veltrane-cli
