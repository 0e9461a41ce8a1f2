#!/bin/bash
# Makes what a user downloads, in dist/ (or the folder given, relative to the
# checkout):
#   quorvel-VERSION-windows-x64.zip       quorvel.exe, its help file, quorvel-cli.exe,
#                                         the demo pack, the user's guide and the licence
#   quorvel-cli-VERSION-linux-x86_64.tar.gz  quorvel-cli, its manual page, its bash, zsh
#                                         and fish completion, the demo pack, its guide
#                                         and the licence
#   quorvel-cli_VERSION_amd64.deb         the same for Debian and its derivatives,
#                                         made by CPack
#   SHA256SUMS
# Two runs from the same commit give the same bytes: every entry is dated
# SOURCE_DATE_EPOCH (by default the commit's time), entries are sorted, and
# owners and permissions are fixed.
source "$(dirname "$0")/common.sh"

dist=${1:-dist}

epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || true)}
if [ -z "$epoch" ]; then
  echo "package: outside a git checkout, set SOURCE_DATE_EPOCH" >&2
  exit 1
fi
# help2man and CPack date what they make by it.
export SOURCE_DATE_EPOCH=$epoch

echo "== release builds"
cmake --preset linux-release >/dev/null
# The manual page carries its date: made again in every run.
rm -f build/linux-release/cli/quorvel-cli.1 build/linux-release/cli/quorvel-cli.1.gz
cmake --build --preset linux-release -j"$(nproc)" --target quorvel-cli quorvel_cli_manual quorvel_cli_demo
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j"$(nproc)" --target quorvel quorvel_help quorvel-cli

version=$(cat build/linux-release/quorvel-version.txt)
if [ "$version" != "$(cat build/windows-x64/quorvel-version.txt)" ]; then
  echo "package: the two build trees disagree on the version" >&2
  exit 1
fi

linux_cli=build/linux-release/bin/quorvel-cli
# The pack the examples run on, from the pack writer: the same bytes in every run.
demo=build/linux-release/cli/demo.pak
windows_bin=build/windows-x64/bin

# The Linux program must start on a stock Debian 12: it may need glibc's own
# libraries and nothing else (libstdc++ and libgcc are linked in).
needed=$(objdump -p "$linux_cli" | awk '$1 == "NEEDED" { print $2 }')
for library in $needed; do
  case "$library" in
    libc.so.6 | libm.so.6 | libpthread.so.0 | libdl.so.2 | librt.so.1 | ld-linux-x86-64.so.2) ;;
    *) echo "package: $linux_cli needs $library, which a stock system may lack" >&2; exit 1 ;;
  esac
done
# Debian 12's C library is 2.36: a build on a newer system must not ask for more.
newest=$(objdump -T "$linux_cli" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
if [ "$(printf '%s\n' "$newest" 2.36 | sort -V | tail -1)" != 2.36 ]; then
  echo "package: $linux_cli needs glibc $newest; Debian 12 has 2.36" >&2
  exit 1
fi
# Unpacked anywhere on Windows, the programs find no MinGW DLLs beside them.
for program in quorvel.exe quorvel-cli.exe; do
  if x86_64-w64-mingw32-objdump -p "$windows_bin/$program" | grep -i 'DLL Name: lib'; then
    echo "package: $program needs a MinGW DLL" >&2
    exit 1
  fi
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)

# Windows: the guide and the licence with CR LF line ends; the guide in
# UTF-8 with a byte-order mark, so that Notepad shows its Japanese.
win="$stage/windows"
mkdir -p "$win"
# Both programs are linked stripped; stripping here again would stamp the
# time into the PE header.
cp "$windows_bin/quorvel.exe" "$windows_bin/quorvel.chm" "$windows_bin/quorvel-cli.exe" "$demo" "$win/"
{
  printf '\xef\xbb\xbf'
  python3 tools/release_archive.py guide README.md "quorvel $version" "User's guide" "Command line" -"Installing quorvel-cli" | sed 's/$/\r/'
} >"$win/README.txt"
sed 's/$/\r/' LICENSE >"$win/LICENSE.txt"
zip_name="quorvel-$version-windows-x64.zip"
rm -f "$dist/$zip_name"
python3 tools/release_archive.py zip "$dist/$zip_name" "$epoch" \
  quorvel.exe="$win/quorvel.exe" quorvel.chm="$win/quorvel.chm" quorvel-cli.exe="$win/quorvel-cli.exe" \
  demo.pak="$win/demo.pak" README.txt="$win/README.txt" LICENSE.txt="$win/LICENSE.txt"

# Linux: one folder, as Linux archives are unpacked.
top="quorvel-cli-$version"
mkdir -p "$stage/linux/$top"
# Linked with Debian's hardening flags and stripped as Debian strips
# (the linux-release preset): the same bytes as the Debian package's.
cp "$linux_cli" "$stage/linux/$top/quorvel-cli"
python3 tools/release_archive.py guide README.md "quorvel-cli $version" "Download and install" "Command line" \
  -"Installing quorvel-cli" >"$stage/linux/$top/README.md"
cp LICENSE "$stage/linux/$top/LICENSE"
cp build/linux-release/cli/quorvel-cli.1 "$stage/linux/$top/quorvel-cli.1"
cp cli/quorvel-cli.bash cli/quorvel-cli.zsh cli/quorvel-cli.fish "$demo" "$stage/linux/$top/"
chmod 0755 "$stage/linux/$top" "$stage/linux/$top/quorvel-cli"
chmod 0644 "$stage/linux/$top/README.md" "$stage/linux/$top/LICENSE" "$stage/linux/$top/quorvel-cli.1" \
  "$stage/linux/$top/quorvel-cli.bash" "$stage/linux/$top/quorvel-cli.zsh" "$stage/linux/$top/quorvel-cli.fish" \
  "$stage/linux/$top/demo.pak"
tar_name="quorvel-cli-$version-linux-x86_64.tar.gz"
tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner --format=gnu \
  -C "$stage/linux" -cf - "$top" | gzip -9 -n >"$dist/$tar_name"

# Debian: CPack gives the folders it makes, and the package's own members,
# the modes the umask leaves.
deb_name="quorvel-cli_${version}_amd64.deb"
(umask 022 && cpack -G DEB --config build/linux-release/CPackConfig.cmake -B "$stage/deb" >/dev/null)
cp "$stage/deb/$deb_name" "$dist/$deb_name"

(cd "$dist" && sha256sum "$zip_name" "$tar_name" "$deb_name" >SHA256SUMS)
ls -l "$dist/$zip_name" "$dist/$tar_name" "$dist/$deb_name"
cat "$dist/SHA256SUMS"
