#!/bin/bash
# Checks quorvel-cli's manual page against the program it describes: the
# same commands, each with the same options, the same exit codes and version
# as the program's --help and --version say; no command or option named in
# its hand-written sections (description, patterns, examples) that the
# program does not have; and no warning from groff or mandoc.
# Usage: manual_test.sh QUORVEL_CLI QUORVEL_CLI.1
set -uo pipefail
program=$1
page=$2
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
sorted() { LC_ALL=C sort -u | paste -sd' '; }

echo "== the manual checkers"
groff_out=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
[ -z "$groff_out" ] || fail "groff -ww: $groff_out"
mandoc_out=$(mandoc -T lint "$page" 2>&1) || fail "mandoc -T lint: $mandoc_out"
[ -z "$mandoc_out" ] || fail "mandoc -T lint: $mandoc_out"

echo "== the page and the help name the same things"
# The page's source as plain words: fonts, hyphens and backslashes undone.
text=$(sed -e 's/\\f[BIRP]//g; s/\\[,\/&]//g; s/\\-/-/g; s/\\e/\\/g' "$page")
# "SECTION<TAB>SUBSECTION<TAB>TAG" for every tagged paragraph.
tags=$(printf '%s\n' "$text" | awk -v OFS='\t' '
  /^\.SH / { section = substr($0, 5); gsub(/"/, "", section); sub_section = ""; next }
  /^\.SS / { sub_section = substr($0, 5); gsub(/"/, "", sub_section); next }
  tag { print section, sub_section, $0; tag = 0; next }
  /^\.TP/ { tag = 1 }')
# The option names of a help's Options section, or of a set of tags.
help_options() { sed -n '/^Options:/,/^$/s/^  \([^ ][^ ]*\).*/\1/p' | tr ',' '\n' | grep -v -x -e -h -e --help | sorted; }
tag_options() { grep -o -E '(^|[ ,])--?[A-Za-z][-A-Za-z]*' | tr -d ' ,' | sorted; }

help=$("$program" --help)
commands=$(printf '%s\n' "$help" | sed -n '/^Subcommands:/,/^$/s/^  \([^ ][^ ]*\).*/\1/p' | sorted)
[ -n "$commands" ] || fail "the help names no command"
page_commands=$(printf '%s\n' "$text" | awk '/^\.SH/ { in_commands = ($0 ~ /COMMANDS/) } in_commands && /^\.SS / { gsub(/"/, ""); print $2 }' | sorted)
[ "$page_commands" = "$commands" ] || fail "the page's commands are '$page_commands'; the help's '$commands'"
all_options=$(printf '%s\n' "$help" | help_options)
for command in $commands; do
  options=$("$program" "$command" --help | help_options)
  all_options="$all_options $options"
  page_options=$(printf '%s\n' "$tags" | awk -F'\t' -v c="$command" '$1 == "COMMANDS" && $2 == c { print $3 }' | tag_options)
  [ "$page_options" = "$options" ] || fail "$command: the page names '$page_options'; the help '$options'"
  synopsis=$(printf '%s\n' "$text" | awk '/^\.SH/ { s = ($0 ~ /SYNOPSIS/) } s' | grep -c -x "$command.*")
  [ "$synopsis" = 1 ] || fail "$command: $synopsis lines of the synopsis, not 1"
done
global_page=$(printf '%s\n' "$tags" | awk -F'\t' '$1 == "OPTIONS" { print $3 }' | tag_options)
[ "$global_page" = "$(printf '%s\n' "$help" | sed -n '/^Options:/,/^$/s/^  \([^ ][^ ]*\).*/\1/p' | tr ',' '\n' | sorted)" ] ||
  fail "the page's options of every command are '$global_page'"

# The hand-written sections may name only what the program has.
known=" $(printf '%s\n' $all_options -h --help | sorted) "
# (In the examples, only quorvel-cli's own words, up to a |, > or &&; the
# unmount option of fusermount3 is that program's.)
for option in $(printf '%s\n' "$text" | awk '
    /^\.SH/ { e = ($0 ~ /EXAMPLES/) }
    /^\.TH/ { next }
    e { if (!sub(/^.*quorvel-cli /, "")) next; sub(/[|>&].*/, "") }
    { gsub(/fusermount3 -u/, "fusermount3"); print }' | grep -o -E '(^|[ (])--?[A-Za-z][-A-Za-z]*' | tr -d ' (' | sorted); do
  [[ $known == *" $option "* ]] || fail "the page names $option, which the program does not have"
done
for command in $(printf '%s\n' "$text" | grep -o -E 'quorvel-cli [a-z]+' | awk '{ print $2 }' | sorted); do
  [[ " $commands " == *" $command "* ]] || fail "the page uses a command '$command' the program does not have"
done

# NAME, the version and the exit codes, as the program says them.
first=$(printf '%s\n' "$help" | head -1)
name_line=$(printf '%s\n' "$text" | awk '/^\.SH NAME/ { getline; print; exit }')
[ "$name_line" = "quorvel-cli - ${first#quorvel-cli: }" ] || [ "$name_line." = "quorvel-cli - ${first#quorvel-cli: }" ] ||
  fail "NAME says '$name_line'; the help '$first'"
version=$("$program" --version)
grep -q "^\.TH QUORVEL-CLI \"1\" \"[0-9-]*\" \"$version\"" "$page" || fail "the page is not that of '$version'"
codes=$(printf '%s\n' "$help" | tr '\n' ' ' | grep -o -E 'Exit status:.*Usage:' | grep -o -E '(^|[,:;] )[0-9]+ ' | grep -o -E '[0-9]+' | sorted)
page_codes=$(printf '%s\n' "$tags" | awk -F'\t' '$1 == "EXIT STATUS" { print $3 }' | sorted)
[ -n "$codes" ] && [ "$page_codes" = "$codes" ] || fail "the page's exit codes are '$page_codes'; the help's '$codes'"

if [ "$failures" -ne 0 ]; then
  echo "manual_test: $failures failed" >&2
  exit 1
fi
echo "manual_test: all passed"
