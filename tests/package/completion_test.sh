#!/bin/bash
# Drives quorvel-cli's bash completion as bash does on Tab: COMP_WORDS and
# friends set from a typed line, the completion function called, COMPREPLY
# and the completion options it asked for compared. Then checks that it
# knows every command, option and argument that the program's help names,
# so that a command added to the program without completion fails here.
# The same lines are then typed into a real zsh (in a pseudo-terminal, Tab
# bound to a widget that records what the completion offers) and a real
# fish (complete -C), which must offer the same.
# Usage: completion_test.sh QUORVEL_CLI BASH_COMPLETION [ZSH_COMPLETION FISH_COMPLETION]
set -uo pipefail
program=$(realpath "$1")
completion=$(realpath "$2")
zsh_completion=$(if [ $# -ge 3 ]; then realpath "$3"; fi)
fish_completion=$(if [ $# -ge 4 ]; then realpath "$4"; fi)
if [ ! -f /usr/share/bash-completion/bash_completion ]; then
  echo "FAILED: bash-completion is not installed (Debian: bash-completion)" >&2
  exit 1
fi
source /usr/share/bash-completion/bash_completion
source "$completion"
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/tree/bgm" "$work/tree/voice" "$work/tree/シナリオ" "$work/here/music" "$work/here/out dir"
ln -s "$program" "$work/bin/quorvel-cli"
export PATH="$work/bin:$PATH"
for name in readme.txt "bgm/title 01.ogg" "bgm/title 02.ogg" bgm/ending.ogg "voice/[a]01.wav" "シナリオ/第1話.txt"; do
  echo "$name" >"$work/tree/$name"
done
cd "$work/here"
export HOME="$work/here"
quorvel-cli create -q game.pak ../tree || { echo "FAILED: quorvel-cli create" >&2; exit 1; }
cp game.pak "my game.pak"
touch other.PAK notes.txt

# What bash makes of the line before it calls the function: words split at
# blanks outside quotes, and at the = of a long option.
set_words() {
  local line=$1 word= quote= c i
  COMP_WORDS=()
  for ((i = 0; i < ${#line}; i++)); do
    c=${line:i:1}
    if [ -n "$quote" ]; then
      [ "$c" = "$quote" ] && quote=
      word+=$c
    elif [ "$c" = "\\" ]; then
      word+=${line:i:2}
      i=$((i + 1))
    elif [ "$c" = "'" ] || [ "$c" = '"' ]; then
      quote=$c
      word+=$c
    elif [ "$c" = " " ]; then
      COMP_WORDS+=("$word")
      word=
    elif [ "$c" = "=" ] && [[ $word == --* ]]; then
      COMP_WORDS+=("$word" "=")
      word=
    else
      word+=$c
    fi
  done
  COMP_WORDS+=("$word")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
}

# compopt works only inside a real completion; here it records what it is asked.
asked=
compopt() { local IFS=' '; asked+=" $*"; }

# Runs the completion on LINE: got is what it offers, sorted, joined by "|",
# and asked the completion options it set.
complete_line() {
  set_words "$1"
  COMPREPLY=()
  asked=
  _quorvel_cli quorvel-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd'|')
}

echo "== offers, line by line"
# line <TAB> offers <TAB> "nospace" when no space is to follow the one offer,
# "bash" when only bash takes the line as typed (zsh reads an unquoted [ as
# the start of a subscript)
table=$(cat <<'TABLE'
quorvel-cli ex	extract
quorvel-cli --	--help|--version
quorvel-cli extract --	--help|--overwrite=|--quiet
quorvel-cli extract --ov	--overwrite=	nospace
quorvel-cli extract --overwrite=	always|ask|never
quorvel-cli extract --overwrite n	never
quorvel-cli extract -C 	music|out dir
quorvel-cli extract -C out 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli list 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli list --long 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli create out.pak 	music|out dir
quorvel-cli create --from-list 	game.pak|music|my game.pak|notes.txt|other.PAK|out dir
quorvel-cli cat game.pak 	bgm/|readme.txt|voice/|シナリオ/
quorvel-cli cat game.pak bg	bgm/	nospace
quorvel-cli cat game.pak bgm/	bgm/ending.ogg|bgm/title 01.ogg|bgm/title 02.ogg
quorvel-cli cat game.pak bgm/title\ 0	bgm/title 01.ogg|bgm/title 02.ogg
quorvel-cli cat game.pak 'bgm/e	bgm/ending.ogg
quorvel-cli cat game.pak シナリオ/	シナリオ/第1話.txt
quorvel-cli cat game.pak voice/	voice/[a]01.wav
quorvel-cli cat my\ game.pak r	readme.txt
quorvel-cli cat "my game.pak" r	readme.txt
quorvel-cli cat game.pak readme.txt 	
quorvel-cli cat missing.pak 	
quorvel-cli extract -C out game.pak voice/	voice/[[]a]01.wav
quorvel-cli extract -C out game.pak voice/[[]	voice/[[]a]01.wav	bash
quorvel-cli extract -C out game.pak 'voice/[[]	voice/[[]a]01.wav
quorvel-cli extract -q game.pak readme.txt b	bgm/	nospace
quorvel-cli extract --overwrite=never game.pak r	readme.txt
quorvel-cli extract game.pak -- -	
quorvel-cli update -o 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli update game.pak 	music|out dir
quorvel-cli update game.pak --remove b	bgm/	nospace
quorvel-cli update game.pak --remove=voice/	voice/[[]a]01.wav
quorvel-cli diff game.pak 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli cat --index 	
quorvel-cli cat --index 3 	game.pak|music|my game.pak|other.PAK|out dir
quorvel-cli mount game.pak 	music|out dir
quorvel-cli mount -o 	
quorvel-cli mount -o ro 	game.pak|music|my game.pak|other.PAK|out dir
TABLE
)
while IFS=$'\t' read -r line expected space; do
  complete_line "$line"
  [ "$got" = "$expected" ] || fail "'$line' offers '$got', expected '$expected'"
  if [[ $space == *nospace* ]]; then
    [[ $asked == *"-o nospace"* ]] || fail "'$line' lets a space follow '$got'"
  elif [[ $asked == *"-o nospace"* ]]; then
    fail "'$line' keeps the space from following '$got'"
  fi
done <<<"$table"

# Where a file matches an offered pattern, the offer stays the pattern.
(
  cd "$work/tree"
  complete_line "quorvel-cli extract ../here/game.pak voice/"
  [ "$got" = "voice/[[]a]01.wav" ] || { echo "FAILED: beside the file voice/[a]01.wav, 'voice/' offers '$got'" >&2; exit 1; }
) || failures=$((failures + 1))

# Tab must never run what is typed: no file made by a > in the word.
complete_line "quorvel-cli cat game.pak r>made"
[ ! -e made ] || fail "completing 'r>made' made the file 'made'"
complete_line "quorvel-cli cat game.pak r&&touch\\ made2"
[ ! -e made2 ] || fail "completing 'r&&touch\\ made2' ran touch"
complete_line "quorvel-cli cat ~/game.pak r"
[ "$got" = readme.txt ] || fail "'quorvel-cli cat ~/game.pak r' offers '$got'"

echo "== every command, option and argument the help names is completed"
all_names=
# The help's own words, read here without the completion's parser.
help_commands=$(quorvel-cli --help | sed -n '/^Subcommands:/,/^$/s/^  \([^ ][^ ]*\).*/\1/p' | LC_ALL=C sort | paste -sd'|')
[ -n "$help_commands" ] || fail "the help names no command"
complete_line "quorvel-cli "
[ "$got" = "$help_commands" ] || fail "the commands offered are '$got'; the help names '$help_commands'"
for command in ${help_commands//|/ }; do
  help=$(quorvel-cli "$command" --help)
  options=$(printf '%s\n' "$help" | sed -n '/^Options:/,/^$/s/^  \([^ ][^ ]*\).*/\1/p' | tr ',' '\n' | LC_ALL=C sort | paste -sd'|')
  complete_line "quorvel-cli $command -"
  [ "${got//=/}" = "$options" ] || fail "$command: the options offered are '${got//=/}'; the help names '$options'"
  # The names of the arguments: a positional's first word, an option's second.
  names=$(printf '%s\n' "$help" | awk '
    # The rows text starts where that of the help row does.
    /^  -h,--help / { match($0, /^  -h,--help +/); width = RLENGTH }
    { lines[NR] = $0 }
    END {
      for (i = 1; i <= NR; i++) {
        line = lines[i]
        if (line ~ /^Positionals:/) { section = "p"; continue }
        if (line ~ /^Options:/) { section = "o"; continue }
        if (line ~ /^[^ ]/ || line == "") { section = ""; continue }
        if (section == "" || line !~ /^  [^ ]/) continue
        column = length(line) > width && substr(line, width, 1) == " " ? substr(line, 3, width - 2) : substr(line, 3)
        n = split(column, word, " ")
        if (section == "p") print word[1]
        else if (n > 1 && word[2] !~ /^(REQUIRED|Excludes:|Needs:)$/) print word[2]
      }
    }')
  for name in $names; do
    _quorvel_cli_kind "$name" || fail "$command: the completion does not know what $name takes (_quorvel_cli_kind in cli/quorvel-cli.bash)"
  done
  all_names+=" $names"
done
# The zsh and fish completion know the same argument names (their files
# define the functions; zsh's last line completes, and is left out here).
if [ -n "$zsh_completion" ] && command -v zsh >/dev/null; then
  unknown=$(zsh -f -c 'source <(sed "\$d" "$1"); shift; for n; do _quorvel-cli_kind $n || print -r -- $n; done' \
    zsh "$zsh_completion" $all_names)
  [ -z "$unknown" ] || fail "zsh: the completion does not know what $unknown takes (_quorvel-cli_kind)"
fi
if [ -n "$fish_completion" ] && command -v fish >/dev/null; then
  unknown=$(fish --no-config -c 'source $argv[1]; for n in $argv[2..-1]; __quorvel_cli_kind $n >/dev/null; or echo $n; end' \
    "$fish_completion" $all_names)
  [ -z "$unknown" ] || fail "fish: the completion does not know what $unknown takes (__quorvel_cli_kind)"
fi

# The other shells mark a folder by its slash where bash leaves that to
# readline, and say an option's value with the option in front: their
# offers are compared without either, sorted, one line of FILE for each line
# of the table, each line's offers ending with a line "== end".
same_offers() {
  local shell=$1 line expected got offers=() offer
  local -a got_lines=()
  while IFS= read -r offer; do
    if [ "$offer" = "== end" ]; then
      got_lines+=("$(printf '%s\n' "${offers[@]}" | sed 's,/$,,; s,^--[a-z-]*=\(.\),\1,; /^$/d' | LC_ALL=C sort -u | paste -sd'|')")
      offers=()
    else
      offers+=("$offer")
    fi
  done <"$2"
  local i=0
  while IFS=$'\t' read -r line expected flags; do
    i=$((i + 1))
    [[ $flags != *bash* ]] || continue
    expected=$(printf '%s\n' "${expected//|/$'\n'}" | sed 's,/$,,; /^$/d' | LC_ALL=C sort -u | paste -sd'|')
    got=${got_lines[i - 1]-"(no answer)"}
    [ "$got" = "$expected" ] || fail "$shell: '$line' offers '$got', expected '$expected'"
  done <<<"$table"
}

if [ -n "$zsh_completion" ]; then
  echo "== zsh"
  if ! command -v zsh >/dev/null; then
    fail "zsh is not installed (Debian: zsh)"
  else
    mkdir -p "$work/zsh"
    cp "$zsh_completion" "$work/zsh/_quorvel-cli"
    # Runs one interactive zsh in a pseudo-terminal; each line is typed and
    # ended with ^T, a widget that completes it, with compadd recording
    # every offer it is given, and then clears the line.
    cat >"$work/zsh/driver.zsh" <<'DRIVER'
zmodload zsh/zpty zsh/zselect
dir=$1
zpty shell zsh -f -i
zpty -w shell "PS1=''; fpath=($dir \$fpath); autoload -Uz compinit; compinit -u -D; unsetopt autolist automenu listbeep"
zpty -w shell 'compadd() { if (( ${@[(I)-[OAD]]} )); then builtin compadd "$@"; return; fi; local -a hits; builtin compadd -A hits "$@"; (( $#hits )) && print -rl -- ${(Q)hits} >>$dir/offers; builtin compadd "$@"; }'
zpty -w shell 'offer() { : >| $dir/offers; zle complete-word; : >| $dir/done; BUFFER=; }; zle -N offer; bindkey "^T" offer'
zpty -w shell "dir=$dir"
while IFS= read -r line; do
  rm -f $dir/done
  zpty -w -n shell "$line"$'\x14'
  for ((i = 0; i < 400; i++)); do
    while zpty -r -t shell junk; do :; done
    [[ -e $dir/done ]] && break
    zselect -t 5
  done
  [[ -e $dir/done ]] || print -r -- "(no answer)"
  [[ -e $dir/done ]] && print -r -- "$(<$dir/offers)"
  print -r -- "== end"
done
zpty -d shell
DRIVER
    cut -f1 <<<"$table" | (cd "$work/here" && zsh -f "$work/zsh/driver.zsh" "$work/zsh") >"$work/zsh/out" 2>&1
    same_offers zsh "$work/zsh/out"
  fi
fi

if [ -n "$fish_completion" ]; then
  echo "== fish"
  if ! command -v fish >/dev/null; then
    fail "fish is not installed (Debian: fish)"
  else
    # fish offers what complete -C lists, its text before a tab.
    cut -f1 <<<"$table" | (cd "$work/here" && fish --no-config -c "source '$fish_completion'"'
      while read -l line
        complete -C"$line" | string replace -r "\t.*" ""
        echo "== end"
      end') >"$work/fish.out" 2>&1
    same_offers fish "$work/fish.out"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "completion_test: $failures failed" >&2
  exit 1
fi
echo "completion_test: all passed"
