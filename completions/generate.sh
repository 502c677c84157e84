#!/bin/sh
# generate.sh NAME PROGRAM OUTDIR: writes the bash, zsh and fish completions
# of one of the kit's programs from its own --help, so that they offer
# exactly what --help lists: its options and, for a program with a
# "Commands:" section (tavro), each command and the options of that
# command's --help.
set -eu
name=$1
program=$2
out=$3
mkdir -p "$out/bash" "$out/zsh" "$out/fish"

options_of() {
    "$program" "$@" --help 2>&1 | grep -o -E -- '--[a-z][a-z0-9-]*' | sort -u | tr '\n' ' ' | sed 's/ $//'
}
top_options=$(options_of)
commands=$("$program" --help 2>&1 | sed -n '/^Commands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p' |
           tr '\n' ' ' | sed 's/ $//')
function=_$(echo "$name" | tr '-' '_')

{
    echo "# bash completion for $name, made from its --help"
    echo "$function() {"
    echo '    local cur=${COMP_WORDS[COMP_CWORD]} words'
    if [ -n "$commands" ]; then
        echo '    if [ "$COMP_CWORD" -eq 1 ]; then'
        echo "        words=\"$commands $top_options\""
        echo '    else'
        echo '        case ${COMP_WORDS[1]} in'
        for command in $commands; do
            echo "            $command) words=\"$(options_of "$command")\" ;;"
        done
        echo '            *) words="" ;;'
        echo '        esac'
        echo '    fi'
    else
        echo "    words=\"$top_options\""
    fi
    echo '    COMPREPLY=($(compgen -W "$words" -- "$cur"))'
    echo '}'
    echo "complete -o default -F $function $name"
} >"$out/bash/$name"

{
    echo "#compdef $name"
    echo "# zsh completion for $name, made from its --help"
    if [ -n "$commands" ]; then
        echo 'if (( CURRENT == 2 )); then'
        echo "    compadd -- $commands $top_options"
        echo 'else'
        echo '    case $words[2] in'
        for command in $commands; do
            echo "        $command) compadd -- $(options_of "$command") ;;"
        done
        echo '    esac'
        echo '    _files'
        echo 'fi'
    else
        echo "compadd -- $top_options"
        echo '_files'
    fi
} >"$out/zsh/_$name"

{
    echo "# fish completion for $name, made from its --help"
    for option in $top_options; do
        if [ -n "$commands" ]; then
            echo "complete -c $name -n __fish_use_subcommand -l ${option#--}"
        else
            echo "complete -c $name -l ${option#--}"
        fi
    done
    for command in $commands; do
        echo "complete -c $name -f -n __fish_use_subcommand -a $command"
        for option in $(options_of "$command"); do
            echo "complete -c $name -n '__fish_seen_subcommand_from $command' -l ${option#--}"
        done
    done
} >"$out/fish/$name.fish"
