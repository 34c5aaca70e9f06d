# bash completion for kvprofile: commands, then each command's options and
# files.
_kvprofile() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local commands="show verify sections keys find get dump add-section set remove-key remove-section rewrite repair help"
    local common="--transform --decode --json --help"
    if [ "$COMP_CWORD" -eq 1 ]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands --version --help" -- "$cur")
        return
    fi
    local command=${COMP_WORDS[1]} options=""
    case $command in
    help)
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
        ;;
    show) options="--keys" ;;
    verify) options="--allow-unchecked" ;;
    add-section) options="--create --verbose" ;;
    set) options="--create --refresh --verbose" ;;
    remove-key) options="--refresh --verbose" ;;
    remove-section) options="--verbose" ;;
    rewrite) options="--checksums --no-checksums --refresh --encode --verbose" ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options $common" -- "$cur")
    elif [ "$COMP_CWORD" -eq 2 ]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
}
complete -o filenames -F _kvprofile kvprofile
