#!/bin/bash
# Checks the archives scripts/package.sh wrote into DIST: a second run gives
# the same bytes, each archive holds exactly its files, and the unpacked
# programs start: quorvel.exe (under Wine, in the build tree's prefix, on the
# display the caller started) on the demo pack with its Help, quorvel-cli on
# Linux, where the examples of its manual page and guide run as shown and
# its completion works in bash, zsh and fish. The Debian package passes
# lintian with no hardening tag, its program passes hardening-check, and as
# root apt-get installs it and removes it again. Usage: package_test.sh DIST
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=$(cd "$1" && pwd)
version=$(cat build/linux-release/quorvel-version.txt)
zip_name="quorvel-$version-windows-x64.zip"
tar_name="quorvel-cli-$version-linux-x86_64.tar.gz"
deb_name="quorvel-cli_${version}_amd64.deb"
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

scratch=$(mktemp -d)
unpacked_in_prefix=
cleanup() {
  rm -rf "$scratch"
  if [ -n "$unpacked_in_prefix" ]; then rm -rf "$unpacked_in_prefix"; fi
}
trap cleanup EXIT

echo "== a second run gives the same bytes (programs linked again, later, under another umask)"
sleep 2 # zip times count in 2 s steps
rm -f build/windows-x64/bin/quorvel.exe build/windows-x64/bin/quorvel.chm build/windows-x64/bin/quorvel-cli.exe \
  build/linux-release/bin/quorvel-cli
(umask 077 && bash scripts/package.sh "$scratch/again" >/dev/null)
for file in "$zip_name" "$tar_name" "$deb_name" SHA256SUMS; do
  cmp "$dist/$file" "$scratch/again/$file" || fail "$file differs between two runs"
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archives"

echo "== the archives hold exactly their files"
zip_list=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$dist/$zip_name")
[ "$zip_list" = "LICENSE.txt README.txt demo.pak quorvel-cli.exe quorvel.chm quorvel.exe" ] || fail "the zip holds: $zip_list"
tar_list=$(tar -tzf "$dist/$tar_name" | tr '\n' ' ')
top="quorvel-cli-$version"
[ "$tar_list" = "$top/ $top/LICENSE $top/README.md $top/demo.pak $top/quorvel-cli $top/quorvel-cli.1 $top/quorvel-cli.bash $top/quorvel-cli.fish $top/quorvel-cli.zsh " ] ||
  fail "the tar holds: $tar_list"
deb_list=$(dpkg-deb -c "$dist/$deb_name" | awk '{ print $1, $2, $6 }')
expected_deb_list=$(sed 's/^ *//' <<'LIST'
  drwxr-xr-x root/root ./usr/
  drwxr-xr-x root/root ./usr/bin/
  -rwxr-xr-x root/root ./usr/bin/quorvel-cli
  drwxr-xr-x root/root ./usr/share/
  drwxr-xr-x root/root ./usr/share/bash-completion/
  drwxr-xr-x root/root ./usr/share/bash-completion/completions/
  -rw-r--r-- root/root ./usr/share/bash-completion/completions/quorvel-cli
  drwxr-xr-x root/root ./usr/share/doc/
  drwxr-xr-x root/root ./usr/share/doc/quorvel-cli/
  -rw-r--r-- root/root ./usr/share/doc/quorvel-cli/changelog.gz
  -rw-r--r-- root/root ./usr/share/doc/quorvel-cli/copyright
  drwxr-xr-x root/root ./usr/share/doc/quorvel-cli/examples/
  -rw-r--r-- root/root ./usr/share/doc/quorvel-cli/examples/demo.pak
  drwxr-xr-x root/root ./usr/share/fish/
  drwxr-xr-x root/root ./usr/share/fish/vendor_completions.d/
  -rw-r--r-- root/root ./usr/share/fish/vendor_completions.d/quorvel-cli.fish
  drwxr-xr-x root/root ./usr/share/man/
  drwxr-xr-x root/root ./usr/share/man/man1/
  -rw-r--r-- root/root ./usr/share/man/man1/quorvel-cli.1.gz
  drwxr-xr-x root/root ./usr/share/zsh/
  drwxr-xr-x root/root ./usr/share/zsh/vendor-completions/
  -rw-r--r-- root/root ./usr/share/zsh/vendor-completions/_quorvel-cli
LIST
)
[ "$deb_list" = "$expected_deb_list" ] || fail "the Debian package holds:
$deb_list"

echo "== the unpacked quorvel-cli runs on Linux"
cmake --build --preset linux-release --target pakwriter >/dev/null
build/linux-release/bin/pakwriter --demo "$scratch/demo.pak" >/dev/null
tar -xzf "$dist/$tar_name" -C "$scratch"
cli="$scratch/$top/quorvel-cli"
[ "$("$cli" --version)" = "quorvel-cli $version" ] || fail "quorvel-cli --version says: $("$cli" --version)"
cmp "$scratch/$top/demo.pak" "$scratch/demo.pak" || fail "the tar's demo.pak is not the pack writer's demo pack"
bash tests/package/manual_test.sh "$cli" "$scratch/$top/quorvel-cli.1" || fail "the tar's manual page (above)"
python3 tests/package/examples_test.py "$cli" "$scratch/$top/demo.pak" "$scratch/$top/quorvel-cli.1" \
  "$scratch/$top/README.md" || fail "the examples of the tar's manual page and guide (above)"
bash tests/package/completion_test.sh "$cli" "$scratch/$top/quorvel-cli.bash" "$scratch/$top/quorvel-cli.zsh" \
  "$scratch/$top/quorvel-cli.fish" >/dev/null || fail "the tar's completion (above)"
listing=$("$cli" list "$scratch/demo.pak") || fail "quorvel-cli list exits with $?"
rows=$(printf "%s\n" "$listing" | grep -c . || true)
for name in readme.txt map_data.bin voice_020.wav; do
  printf '%s\n' "$listing" | grep -qx "$name" || fail "quorvel-cli list does not name $name"
done

echo "== the Debian package"
mkdir "$scratch/deb"
dpkg-deb -x "$dist/$deb_name" "$scratch/deb"
cmp "$scratch/deb/usr/bin/quorvel-cli" "$cli" || fail "the package's program is not the tar's"
zcat "$scratch/deb/usr/share/man/man1/quorvel-cli.1.gz" | cmp - "$scratch/$top/quorvel-cli.1" ||
  fail "the package's manual page is not the tar's"
for pair in bash-completion/completions/quorvel-cli=quorvel-cli.bash zsh/vendor-completions/_quorvel-cli=quorvel-cli.zsh \
  fish/vendor_completions.d/quorvel-cli.fish=quorvel-cli.fish doc/quorvel-cli/examples/demo.pak=demo.pak; do
  cmp "$scratch/deb/usr/share/${pair%%=*}" "$scratch/$top/${pair#*=}" || fail "the package's ${pair%%=*} is not the tar's"
done
field() { dpkg-deb -f "$dist/$deb_name" "$1"; }
[ "$(field Package) $(field Version) $(field Architecture)" = "quorvel-cli $version amd64" ] ||
  fail "the package is $(field Package) $(field Version) $(field Architecture)"
[[ $(field Depends) =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "the package depends on: $(field Depends)"
# FUSE's tools are for the mount command: recommended when the program has one.
if "$cli" --help | grep -q '^  mount '; then recommends=fuse3; else recommends=; fi
[ "$(field Recommends)" = "$recommends" ] || fail "the package recommends '$(field Recommends)', not '$recommends'"
# The description names every command the program has.
listed=$(field Description | grep 'commands:')
for command in $("$cli" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z]*\) .*/\1/p'); do
  [[ $listed =~ [^a-z]$command[^a-z] ]] || fail "the package's description does not name $command: $listed"
done
# grep finds nothing when lintian has nothing to say: that is no failure.
lintian_out=$(lintian --pedantic -I "$dist/$deb_name" 2>&1 | { grep -v '^running with root privileges' || true; })
printf 'lintian:\n%s\n' "${lintian_out:-(nothing)}"
if printf '%s\n' "$lintian_out" | grep -q '^E:'; then fail "lintian finds errors"; fi
# A program built or stripped unlike Debian's own.
if printf '%s\n' "$lintian_out" | grep -E -q ': (hardening-|binary-has-unneeded-section|unstripped-binary)'; then
  fail "lintian finds the program unhardened or unstripped"
fi
# Control flow protection holds only when every object linked carries its
# mark: the C library's start files of Debian 12 carry none, so no program
# linked there has it (Debian's own neither), and it is asked for only where
# they do.
no_cfi=--nocfprotection
if readelf -n "$(gcc -print-file-name=Scrt1.o)" | grep -q IBT; then no_cfi=; fi
if ! command -v hardening-check >/dev/null; then
  fail "hardening-check is not installed (Debian: devscripts)"
elif ! hardening-check $no_cfi "$scratch/deb/usr/bin/quorvel-cli"; then
  fail "hardening-check finds the program unhardened (above)"
fi

echo "== apt-get installs the package, and removes it without a trace"
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: installing needs root"
elif dpkg-query -W -f='${Status}' quorvel-cli 2>/dev/null | grep -q 'ok installed'; then
  echo "SKIPPED: a quorvel-cli package is installed here already; the test would replace it"
else
  packages_before=$(dpkg-query -W -f='${Package}\n' | sort)
  apt-get install -y -q "$dist/$deb_name" >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; fail "apt-get install"; }
  installed_files=$(dpkg-query -L quorvel-cli 2>/dev/null)
  [ "$(command -v quorvel-cli)" = /usr/bin/quorvel-cli ] || fail "quorvel-cli is not /usr/bin/quorvel-cli on the PATH"
  [ "$(quorvel-cli --version)" = "quorvel-cli $version" ] || fail "the installed quorvel-cli --version fails"
  # bash-completion finds the completion by the command's name, when Tab is first pressed.
  bash -c 'source /usr/share/bash-completion/bash_completion && __load_completion quorvel-cli && complete -p quorvel-cli' \
    >/dev/null 2>&1 || fail "bash-completion does not load the installed completion"
  # zsh and fish find theirs where they look for what packages install.
  if command -v zsh >/dev/null; then
    HOME="$scratch" zsh -f -c 'autoload -Uz compinit && compinit -u -D && [[ $_comps[quorvel-cli] == _quorvel-cli ]]' ||
      fail "zsh does not find the installed completion"
  fi
  if command -v fish >/dev/null; then
    [ "$(HOME="$scratch" fish -c 'complete -C"quorvel-cli ver"' | cut -f1)" = verify ] ||
      fail "fish does not find the installed completion"
  fi
  if command -v man >/dev/null; then
    [ "$(man -w quorvel-cli 2>&1)" = /usr/share/man/man1/quorvel-cli.1.gz ] || fail "man -w quorvel-cli: $(man -w quorvel-cli 2>&1)"
  fi
  apt-get remove -y -q quorvel-cli >"$scratch/apt.log" 2>&1 || { cat "$scratch/apt.log"; fail "apt-get remove"; }
  if dpkg-query -W -f='${Status}' quorvel-cli 2>/dev/null | grep -qv 'not-installed'; then
    fail "after removal, dpkg says: $(dpkg-query -W -f='${Status}' quorvel-cli)"
  fi
  while IFS= read -r path; do
    # Folders that other packages share stay; the package's own go.
    if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == */quorvel-cli ]]; }; then
      fail "after removal, $path is left"
    fi
  done <<<"$installed_files"
  # What apt brought for the package stays only as automatically installed,
  # for apt-get autoremove.
  for package in $(comm -13 <(printf '%s\n' "$packages_before") <(dpkg-query -W -f='${Package}\n' | sort)); do
    apt-mark showauto "$package" | grep -qx "$package" || fail "after removal, $package is installed"
    echo "left for apt-get autoremove: $package"
  done
fi

echo "== the unpacked quorvel.exe starts and finds its help (Wine)"
cmake --build --preset windows-x64 --target pakwriter unpacked_release_check >/dev/null
unpacked_in_prefix=$(mktemp -d "$WINEPREFIX/drive_c/unpacked-XXXXXX")
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
  "$dist/$zip_name" "$unpacked_in_prefix/quorvel"
folder="C:\\$(basename "$unpacked_in_prefix")"
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/pakwriter.exe --demo "$folder\\demo.pak" >/dev/null
# The GUI is to show as many rows as the command-line tool lists.
cmake/wine-run.sh "$WINEPREFIX" build/windows-x64/bin/unpacked_release_check.exe \
  "$folder\\quorvel" "$folder\\demo.pak" "$rows" | iconv -f CP932 -t UTF-8 || fail "the unpacked quorvel.exe (above)"

if [ "$failures" -ne 0 ]; then
  echo "package_test: $failures failed" >&2
  exit 1
fi
echo "package_test: all passed"
