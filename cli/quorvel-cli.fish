# fish completion for quorvel-cli: commands, their options and the options'
# values, pack files, folders, and the entry names of the pack already
# typed. As in the bash completion, what each command accepts is read from
# the program's own --help every time, and what an argument holds is known
# from its name in the help (PACK, DIR, NAME, ...).

# The kind of word an argument named NAME in the help takes: pack, folder,
# file, entry (a name in the pack), choice ("TEXT:{a,b}"), or none. A name
# not listed here gets no kind, and the completion offers plain files for it.
function __quorvel_cli_kind
    switch $argv[1]
        case PACK OUT OLD NEW
            echo pack
        case DIR SOURCE_DIR MOUNTPOINT
            echo folder
        case FILE
            echo file
        case NAME PATTERN
            echo entry
        case '*:{*}'
            echo choice
        case N OPTIONS
            echo none
        case '*'
            return 1
    end
end

# The rows of a help text (its lines as arguments), one a line: "command
# NAME", "positional NAME", "option NAME [ARGUMENT]", and "repeated" when
# the last positional takes any number of words.
function __quorvel_cli_rows
    # A row's text starts at a fixed column, which may leave a single space
    # after a long first column; the help row shows where.
    set -l width (string match -r '^  -h,--help +' -- $argv | string length)
    test -n "$width"; or return
    set -l section
    for line in $argv
        switch $line
            case Subcommands: Options: Positionals:
                set section (string replace : '' -- $line)
                continue
        end
        string match -qr '^  \S' -- $line; or continue
        set -l column (string sub -s 3 -- $line)
        if test (string length -- $line) -gt $width[1]; and test "$(string sub -s $width[1] -l 1 -- $line)" = ' '
            set column (string sub -s 3 -l (math $width[1] - 2) -- $line)
        end
        set -l words (string split -n ' ' -- $column)
        switch $section
            case Subcommands
                echo command $words[1]
            case Positionals
                echo positional $words[1]
                test "$words[-1]" = ...; and echo repeated
            case Options
                set -l argument
                if set -q words[2]; and not contains -- $words[2] REQUIRED Excludes: Needs:
                    set argument $words[2]
                end
                for name in (string split , -- $words[1])
                    echo option $name $argument
                end
        end
    end
end

# The argument name of option $argv[1] in the rows that follow, if it takes one.
function __quorvel_cli_argument_of
    string replace -rf -- '^option '(string escape --style=regex -- $argv[1])' (\S+)$' '$1' $argv[2..-1]
end

# A word as the program gets it: a leading ~ the home folder.
function __quorvel_cli_path
    string replace -r -- '^~(?=/|$)' $HOME $argv[1]
end

# The word being typed as the program would get it: quotes and backslashes
# undone, an unclosed quote too. Nothing is expanded and nothing is run.
function __quorvel_cli_unquote
    set -l word $argv[1]
    if string match -qr -- '^([\'"])' $word; and not string match -qr -- '^([\'"]).*\1$' $word
        set word $word(string sub -l 1 -- $word)
    end
    string unescape -- $word; or echo $word
end

# Files and folders below the folder in the word typed: folders (with a
# slash), and the files that kind $argv[2] takes: pak, any, or none.
function __quorvel_cli_files
    set -l typed (__quorvel_cli_unquote $argv[1])
    set -l folder (string replace -r -- '[^/]*$' '' $typed)
    set -l under (__quorvel_cli_path $folder)
    for path in $under*
        set -l name $folder(string replace -- $under '' $path)
        if test -d $path
            echo $name/
        else if test $argv[2] = any; or begin
                test $argv[2] = pak; and string match -qir -- '\.pak$' $path
            end
            echo $name
        end
    end
end

# Entry names of PACK that continue the word, one folder level at a time;
# as patterns (fourth argument set), with * ? [ written as [*] [?] [[].
function __quorvel_cli_entries
    set -l program $argv[1]
    set -l pack (__quorvel_cli_path (__quorvel_cli_unquote $argv[2]))
    test -f "$pack"; or return
    $program list $pack 2>/dev/null | PREFIX=(__quorvel_cli_unquote $argv[3]) GLOB=$argv[4] awk '
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
        }'
end

# The words that complete $argv[4] as the argument named $argv[2] of the
# help; $argv[3] is the pack typed.
function __quorvel_cli_argument
    set -l program $argv[1]
    set -l argument $argv[2]
    switch (__quorvel_cli_kind $argument)
        case pack
            __quorvel_cli_files $argv[4] pak
        case folder
            __quorvel_cli_files $argv[4] none
        case entry
            # NAME is typed as list shows it; anything else is a pattern.
            set -l glob 1
            test $argument = NAME; and set glob
            test -n "$argv[3]"; and __quorvel_cli_entries $program $argv[3] $argv[4] "$glob"
        case choice
            string split , -- (string replace -r -- '^.*:\{(.*)\}$' '$1' $argument)
        case none
        case '*'
            __quorvel_cli_files $argv[4] any
    end
end

function __quorvel_cli_complete
    set -l words (commandline -opc)
    set -l current (commandline -ct)
    set -l program (__quorvel_cli_path $words[1])
    set -l rows (__quorvel_cli_rows ($program --help 2>/dev/null))
    set -l known (string replace -rf '^command ' '' -- $rows)
    set -l command
    set -l i 2
    while test $i -le (count $words)
        if not string match -q -- '-*' $words[$i]
            set command $words[$i]
            break
        end
        set i (math $i + 1)
    end
    if test -z "$command"
        if string match -q -- '-*' $current
            string replace -rf '^option (\S+).*' '$1' -- $rows
        else
            printf '%s\n' $known
        end
        return
    end
    contains -- $command $known; or return
    set rows (__quorvel_cli_rows ($program $command --help 2>/dev/null))
    set -l positionals (string replace -rf '^positional ' '' -- $rows)

    # The positionals typed so far, past options and their arguments.
    set -l typed
    set -l dashes
    set -l skip
    for i in (seq (math $i + 1) (count $words))
        set -l word $words[$i]
        if test -n "$skip"
            set skip
        else if test -z "$dashes"; and test "$word" = --
            set dashes 1
        else if test -z "$dashes"; and string match -q -- '-*' $word
            if not string match -q -- '*=*' $word; and test -n "$(__quorvel_cli_argument_of $word $rows)"
                set skip 1
            end
        else
            set -a typed $word
        end
    end
    set -l pack
    for j in (seq (count $positionals))
        test "$positionals[$j]" = PACK; and set -q typed[$j]; and set pack $typed[$j]
    end

    if test -z "$dashes"; and string match -qr -- '^--[^=]+=' $current
        set -l option (string replace -r -- '=.*' '' $current)
        set -l argument (__quorvel_cli_argument_of $option $rows)
        if test -n "$argument"
            set -l value (string replace -r -- '^[^=]*=' '' $current)
            for offer in (__quorvel_cli_argument $program $argument "$pack" $value)
                echo $option=$offer
            end
            return
        end
    end
    if test -z "$dashes"; and test (count $words) -gt 1
        set -l argument (__quorvel_cli_argument_of $words[-1] $rows)
        if test -n "$argument"
            __quorvel_cli_argument $program $argument "$pack" $current
            return
        end
    end
    if test -z "$dashes"; and string match -q -- '-*' $current
        for row in (string match -r -- '^option .*' $rows)
            set -l parts (string split ' ' -- $row)
            if set -q parts[3]; and string match -q -- '--*' $parts[2]
                echo $parts[2]=
            else
                echo $parts[2]
            end
        end
        return
    end
    set -l count (count $typed)
    set -l last (count $positionals)
    if test $count -ge $last
        contains repeated $rows; or return
        set count (math $last - 1)
    end
    test $last -gt 0; and __quorvel_cli_argument $program $positionals[(math $count + 1)] "$pack" $current
end

complete -c quorvel-cli -f -a '(__quorvel_cli_complete)'
