#compdef quorvel-cli
# zsh completion for quorvel-cli: commands, their options and the options'
# values, pack files, folders, and the entry names of the pack already
# typed. As in the bash completion, what each command accepts is read from
# the program's own --help every time, and what an argument holds is known
# from its name in the help (PACK, DIR, NAME, ...).

# The kind of word an argument named NAME in the help takes: pack, folder,
# file, entry (a name in the pack), choice ("TEXT:{a,b}"), or none. A name
# not listed here gets no kind, and the completion offers plain files for it.
_quorvel-cli_kind() {
  case $1 in
    (PACK|OUT|OLD|NEW) REPLY=pack ;;
    (DIR|SOURCE_DIR|MOUNTPOINT) REPLY=folder ;;
    (FILE) REPLY=file ;;
    (NAME|PATTERN) REPLY=entry ;;
    (*:\{*\}) REPLY=choice ;;
    (N|OPTIONS) REPLY=none ;;
    (*) REPLY= && return 1 ;;
  esac
}

# Reads a help text into the caller's commands, options, arguments (option
# name -> argument name) and positionals; repeated is set when the last
# positional takes any number of words.
_quorvel-cli_parse() {
  local section= line column name width
  local -a row names
  commands=() options=() positionals=() arguments=() repeated=
  # A row's text starts at a fixed column, which may leave a single space
  # after a long first column; the help row shows where.
  [[ $1 =~ $'(^|\n)(  -h,--help +)' ]] || return
  width=${#match[2]}
  for line in "${(@f)1}"; do
    case $line in
      (Subcommands:|Options:|Positionals:) section=${line%:}; continue ;;
      ('  '[^\ ]*) ;;
      (*) continue ;;
    esac
    column=${line[3,-1]}
    (( ${#line} > width )) && [[ ${line[width]} == ' ' ]] && column=${line[3,width]}
    row=(${=column})
    case $section in
      (Subcommands) commands+=($row[1]) ;;
      (Positionals)
        positionals+=($row[1])
        [[ $row[-1] == ... ]] && repeated=1
        ;;
      (Options)
        names=(${(s:,:)row[1]})
        for name in $names; do
          options+=($name)
          case ${row[2]-} in
            (''|REQUIRED|Excludes:|Needs:) ;;
            (*) arguments[$name]=$row[2] ;;
          esac
        done
        ;;
    esac
  done
}

# A word as the program gets it: quotes undone, a leading ~ the home folder.
_quorvel-cli_path() {
  REPLY=${(Q)1}
  [[ $REPLY == '~' || $REPLY == '~/'* ]] && REPLY=$HOME${REPLY#\~}
}

# Entry names of PACK that continue the word, one folder level at a time;
# as patterns (third argument set), with * ? [ written as [*] [?] [[].
_quorvel-cli_entries() {
  local program=$1 glob=$3 pack name rest typed=${(Q)PREFIX}
  local -a files folders
  local -A seen
  _quorvel-cli_path $2
  pack=$REPLY
  [[ -f $pack ]] || return 1
  for name in "${(@f)$($program list $pack 2>/dev/null)}"; do
    [[ -n $name ]] || continue
    if [[ -n $glob ]]; then
      name=${name//\[/[[]}
      name=${name//\*/[*]}
      name=${name//\?/[?]}
    fi
    # Without GLOB_SUBST, $typed in a pattern is taken literally.
    [[ $name == $typed* ]] || continue
    rest=${name#$typed}
    if [[ $rest == */* ]]; then
      name=$typed${rest%%/*}/
      (( $+seen[$name] )) && continue
      seen[$name]=1
      folders+=($name)
    else
      files+=($name)
    fi
  done
  # A folder takes no space after it: its entries come next.
  compadd -S '' -- $folders
  compadd -- $files
}

# Completes the word as the argument named $2 of the help; $3 is the pack typed.
_quorvel-cli_argument() {
  local program=$1 argument=$2 pack=$3
  _quorvel-cli_kind $argument
  case $REPLY in
    (pack) _files -g '*.(#i)pak(-.)' ;;
    (folder) _files -/ ;;
    (entry)
      # NAME is typed as list shows it; anything else is a pattern.
      [[ -n $pack ]] && _quorvel-cli_entries $program $pack ${argument:#NAME}
      ;;
    (choice)
      local choices=${${argument#*:\{}%\}}
      compadd -- ${(s:,:)choices}
      ;;
    (none) return 1 ;;
    (*) _files ;;
  esac
}

_quorvel-cli() {
  local program command= word option i
  local -a commands options positionals typed known plain valued
  local -A arguments
  local repeated
  _quorvel-cli_path $words[1]
  program=$REPLY
  _quorvel-cli_parse "$($program --help 2>/dev/null)"
  known=($commands)
  for ((i = 2; i < CURRENT; i++)); do
    if [[ $words[i] != -* ]]; then
      command=$words[i]
      break
    fi
  done
  if [[ -z $command ]]; then
    if [[ $PREFIX == -* ]]; then compadd -- $options; else compadd -- $known; fi
    return
  fi
  (( $known[(Ie)$command] )) || return 1
  _quorvel-cli_parse "$($program $command --help 2>/dev/null)"

  # The positionals typed so far, past options and their arguments.
  local dashes=
  for ((i++; i < CURRENT; i++)); do
    word=$words[i]
    if [[ -z $dashes && $word == -- ]]; then
      dashes=1
    elif [[ -z $dashes && $word == -* ]]; then
      [[ $word != *=* && -n ${arguments[$word]+set} ]] && ((i++))
    else
      typed+=("$word")
    fi
  done
  local pack=
  for ((i = 1; i <= $#positionals; i++)); do
    [[ $positionals[i] == PACK ]] && pack=${typed[i]-}
  done

  if [[ -z $dashes && $PREFIX == --*=* && -n ${arguments[${PREFIX%%=*}]+set} ]]; then
    option=${PREFIX%%=*}
    compset -P '*='
    _quorvel-cli_argument $program $arguments[$option] $pack
    return
  fi
  if [[ -z $dashes && -n ${arguments[$words[CURRENT-1]]+set} ]]; then
    _quorvel-cli_argument $program $arguments[$words[CURRENT-1]] $pack
    return
  fi
  if [[ -z $dashes && $PREFIX == -* ]]; then
    for option in $options; do
      if [[ $option == --* && -n ${arguments[$option]+set} ]]; then valued+=($option=); else plain+=($option); fi
    done
    compadd -- $plain
    compadd -S '' -- $valued
    return
  fi
  local count=$#typed last=$#positionals
  if (( count >= last )); then
    [[ -n $repeated ]] || return 1
    count=$((last - 1))
  fi
  (( last > 0 )) && _quorvel-cli_argument $program $positionals[count+1] $pack
}

_quorvel-cli "$@"
