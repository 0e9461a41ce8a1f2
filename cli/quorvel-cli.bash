# bash completion for quorvel-cli                          -*- shell-script -*-
#
# Commands, their options and the options' values, pack files, folders, and
# the entry names of the pack already typed. What each command accepts is
# read from the program's own --help every time, so the completion follows
# the program the user runs, whatever its version. What an argument holds
# is known from its name in the help (PACK, DIR, NAME, ...).

# The kind of word an argument named NAME in the help takes: pack, folder,
# file, entry (a name in the pack), choice ("TEXT:{a,b}"), or none (a
# number, FUSE's options: nothing to offer). A name not listed here gets no
# kind, and the completion offers plain files for it.
_quorvel_cli_kind()
{
    case $1 in
        PACK | OUT | OLD | NEW) REPLY=pack ;;
        DIR | SOURCE_DIR | MOUNTPOINT) REPLY=folder ;;
        FILE) REPLY=file ;;
        NAME | PATTERN) REPLY=entry ;;
        *:\{*\}) REPLY=choice ;;
        N | OPTIONS) REPLY=none ;;
        *) REPLY= && return 1 ;;
    esac
}

# Reads a help text into the caller's commands, options, arguments (option
# name -> argument name) and positionals; repeated is set when the last
# positional takes any number of words.
_quorvel_cli_parse()
{
    local section= line column name width
    local -a words names
    commands=() options=() positionals=() repeated=
    arguments=()
    # A row's text starts at a fixed column, which may leave a single space
    # after a long first column; the help row shows where.
    [[ $1 =~ (^|$'\n')(  -h,--help +) ]] || return
    width=${#BASH_REMATCH[2]}
    while IFS= read -r line; do
        case $line in
            Subcommands: | Options: | Positionals:)
                section=${line%:}
                continue
                ;;
            "  "[!\ ]*) ;;
            *) continue ;;
        esac
        # The first column: "-C DIR", "PATTERN TEXT ...",
        # "--overwrite TEXT:{ask,never,always}", "--long Excludes: --json".
        column=${line:2}
        [[ ${#line} -gt $width && ${line:width-1:1} == " " ]] && column=${line:2:width-2}
        read -ra words <<<"$column"
        case $section in
            Subcommands) commands+=("${words[0]}") ;;
            Positionals)
                positionals+=("${words[0]}")
                [[ ${words[-1]} == ... ]] && repeated=1
                ;;
            Options)
                IFS=, read -ra names <<<"${words[0]}"
                for name in "${names[@]}"; do
                    options+=("$name")
                    case ${words[1]-} in
                        '' | REQUIRED | Excludes: | Needs:) ;;
                        *) arguments[$name]=${words[1]} ;;
                    esac
                done
                ;;
        esac
    done <<<"$1"
}

# The word as the shell would pass it, with its quotes and backslashes
# undone and a leading ~ made the home folder. Nothing else is expanded, and
# nothing is run: Tab must not act on a > or a && in what is being typed.
_quorvel_cli_dequote()
{
    local word=$1 quote= c i
    REPLY=
    if [[ $word == "~" || $word == "~/"* ]]; then
        REPLY=$HOME
        word=${word:1}
    fi
    for ((i = 0; i < ${#word}; i++)); do
        c=${word:i:1}
        if [[ $quote == "'" ]]; then
            [[ $c == "'" ]] && quote= || REPLY+=$c
        elif [[ $c == "\\" ]]; then
            ((i++))
            # Between double quotes a backslash escapes only $ ` " and itself.
            [[ $quote && ${word:i:1} != [\$\`\"\\] ]] && REPLY+=$c
            REPLY+=${word:i:1}
        elif [[ $c == '"' ]]; then
            [[ $quote ]] && quote= || quote='"'
        elif [[ $c == "'" && -z $quote ]]; then
            quote="'"
        else
            REPLY+=$c
        fi
    done
}

# Entry names of PACK that continue cur, one folder level at a time; as
# patterns (third argument set), with * ? [ written as [*] [?] [[].
_quorvel_cli_entries()
{
    local program=$1 pack listing
    _quorvel_cli_dequote "$2"
    pack=$REPLY
    [[ -f $pack ]] || return
    listing=$("$program" list "$pack" 2>/dev/null)
    _quorvel_cli_dequote "$cur"
    # Read as lines: a name is never taken for a file pattern of the shell.
    mapfile -t COMPREPLY < <(PREFIX=$REPLY GLOB=$3 awk '
        BEGIN { prefix = ENVIRON["PREFIX"]; glob = ENVIRON["GLOB"] }
        {
            name = $0
            if (glob != "")
                gsub(/[[*?]/, "[&]", name)
            if (index(name, prefix) != 1)
                next
            slash = index(substr(name, length(prefix) + 1), "/")
            if (slash)
                name = substr(name, 1, length(prefix) + slash)
            if (!(name in seen)) {
                seen[name] = 1
                print name
            }
        }' <<<"$listing")
    # Quoted as readline quotes file names; a folder takes no space after it.
    compopt -o filenames
    [[ ${#COMPREPLY[@]} -eq 1 && $COMPREPLY == */ ]] && compopt -o nospace
}

# Completes cur as the argument named $2 of the help; $3 is the pack typed.
_quorvel_cli_argument()
{
    local program=$1 argument=$2 pack=$3
    _quorvel_cli_kind "$argument"
    case $REPLY in
        pack) _filedir pak ;;
        folder) _filedir -d ;;
        entry)
            # NAME is typed as list shows it; anything else is a pattern.
            local glob=1
            [[ $argument == NAME ]] && glob=
            [[ $pack ]] && _quorvel_cli_entries "$program" "$pack" "$glob"
            ;;
        choice)
            local choices=${argument#*:\{}
            choices=${choices%\}}
            COMPREPLY=($(compgen -W "${choices//,/ }" -- "$cur"))
            ;;
        none) ;;
        *) _filedir ;;
    esac
}

_quorvel_cli()
{
    local cur prev words cword split
    _init_completion -s || return

    local program command= i word
    _quorvel_cli_dequote "${words[0]}"
    program=$REPLY
    local -a commands=() options=() positionals=() typed=()
    local -A arguments
    local repeated
    _quorvel_cli_parse "$("$program" --help 2>/dev/null)"
    local -a known_commands=("${commands[@]}")
    for ((i = 1; i < cword; i++)); do
        if [[ ${words[i]} != -* ]]; then
            command=${words[i]}
            break
        fi
    done
    if [[ -z $command ]]; then
        [[ $cur == -* ]] && COMPREPLY=($(compgen -W "${options[*]}" -- "$cur")) ||
            COMPREPLY=($(compgen -W "${known_commands[*]}" -- "$cur"))
        return
    fi
    [[ " ${known_commands[*]} " == *" $command "* ]] || return
    _quorvel_cli_parse "$("$program" "$command" --help 2>/dev/null)"

    # The positionals typed so far, past options and their arguments.
    local dashes=
    for ((i++; i < cword; i++)); do
        word=${words[i]}
        if [[ -z $dashes && $word == -- ]]; then
            dashes=1
        elif [[ -z $dashes && $word == -* ]]; then
            [[ $word != *=* && -n ${arguments[$word]+set} ]] && ((i++))
        else
            typed+=("$word")
        fi
    done
    local pack=
    for i in "${!positionals[@]}"; do
        [[ ${positionals[i]} == PACK ]] && pack=${typed[i]-}
    done

    if [[ -z $dashes && -n ${arguments[$prev]+set} ]]; then
        _quorvel_cli_argument "$program" "${arguments[$prev]}" "$pack"
        return
    fi
    [[ $split == true ]] && return
    if [[ -z $dashes && $cur == -* ]]; then
        local option
        for option in "${options[@]}"; do
            [[ $option == --* && -n ${arguments[$option]+set} ]] && option+="="
            [[ $option == "$cur"* ]] && COMPREPLY+=("$option")
        done
        [[ ${#COMPREPLY[@]} -eq 1 && $COMPREPLY == *= ]] && compopt -o nospace
        return
    fi
    local count=${#typed[@]} last=$((${#positionals[@]} - 1))
    ((count > last)) && { [[ $repeated ]] || return; count=$last; }
    ((last >= 0)) && _quorvel_cli_argument "$program" "${positionals[count]}" "$pack"
} &&
    complete -F _quorvel_cli quorvel-cli

# ex: filetype=sh
