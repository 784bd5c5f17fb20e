# Bash completion for hashlab, hashreport, hashbench-runs and hash_bench. Hash, key-set, family and
# table names come from `hashlab --list`, so they follow the program that is installed.

# The first words of the lines of one section of `hashlab --list` (the section whose heading starts
# with $2), the column heading excepted.
_hashbench_listed() {
    "$1" --list 2>/dev/null | awk -v heading="$2" '
        /^[A-Z]/ { inside = index($0, heading) == 1; next }
        inside && NF && $1 != "name" { print $1 }'
}

_hashlab() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} program=${COMP_WORDS[0]}
    local options="--list --keys --hash --plugin --seed --sample --repeat --budget --memory --verdicts --tables --table --quick --json --csv --help --version"
    local words
    case $prev in
        --hash) words=$(_hashbench_listed "$program" "Hashes") ;;
        --family) words=$(_hashbench_listed "$program" "Families") ;;
        --table) words=$(_hashbench_listed "$program" "Tables") ;;
        --keys)
            # decimal[:N] -> decimal; random:LEN[:N] -> random: (a parameter must follow)
            words=$(_hashbench_listed "$program" "Key sets" | sed -e 's/\[.*//' -e 's/^\([a-z0-9-]*:\).*/\1/')
            ;;
        --json | --csv | --plugin | --verdicts)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --seed | --sample | --repeat | --budget | --memory | --length | --count | --show) return ;;
        *)
            # The commands and their own options, from the Commands section of --list.
            local commands command="" word
            commands=" $(_hashbench_listed "$program" "Commands" | tr '\n' ' ')"
            for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
                [[ $commands == *" $word "* ]] && command=$word
            done
            if [[ $cur == -* || -n $command ]]; then
                words="$options $("$program" --list 2>/dev/null | awk -v command="$command" '
                    /^[A-Z]/ { inside = index($0, "Commands") == 1; next }
                    inside && $1 == command && match($0, /own options: [^)]*/) { print substr($0, RSTART + 13, RLENGTH - 13) }')"
            else
                words="$commands $options"
            fi
            ;;
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
    # A word with ':' (std::map, random:) is split by readline; complete only what follows the last one.
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local prefix=${cur%"${cur##*:}"} i
        for i in "${!COMPREPLY[@]}"; do COMPREPLY[i]=${COMPREPLY[i]#"$prefix"}; done
    fi
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace 2>/dev/null
}

_hashreport() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--csv --json --chart --lab --compare --help --version" -- "$cur"))
    else
        COMPREPLY=($(compgen -f -- "$cur"))
    fi
}

_hashbench_runs() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    if [[ $COMP_CWORD -eq 2 ]]; then COMPREPLY=($(compgen -d -- "$cur")); else COMPREPLY=($(compgen -W "--help" -- "$cur")); fi
}

_hash_bench() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    COMPREPLY=($(compgen -W "--benchmark_filter= --benchmark_repetitions= --benchmark_min_time=
        --benchmark_report_aggregates_only=true --benchmark_format= --benchmark_out= --help" -- "$cur"))
    [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
}

complete -F _hashlab hashlab
complete -F _hashreport hashreport
complete -F _hashbench_runs hashbench-runs
complete -F _hash_bench hash_bench
