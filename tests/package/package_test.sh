#!/bin/bash
# Checks the archives scripts/package.sh wrote into DIST: a second run gives
# the same bytes, each archive holds exactly its files, and the unpacked
# programs start: quorvel.exe (under Wine, in the build tree's prefix, on the
# display the caller started) on the demo pack with its Help, quorvel-cli on
# Linux. Usage: package_test.sh DIST
set -euo pipefail
cd "$(dirname "$0")/../.."
dist=$(cd "$1" && pwd)
version=$(cat build/linux-release/quorvel-version.txt)
zip_name="quorvel-$version-windows-x64.zip"
tar_name="quorvel-cli-$version-linux-x86_64.tar.gz"
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
for file in "$zip_name" "$tar_name" SHA256SUMS; do
  cmp "$dist/$file" "$scratch/again/$file" || fail "$file differs between two runs"
done
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the archives"

echo "== the archives hold exactly their files"
zip_list=$(python3 -c 'import sys, zipfile; print(" ".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$dist/$zip_name")
[ "$zip_list" = "LICENSE.txt README.txt quorvel-cli.exe quorvel.chm quorvel.exe" ] || fail "the zip holds: $zip_list"
tar_list=$(tar -tzf "$dist/$tar_name" | tr '\n' ' ')
top="quorvel-cli-$version"
[ "$tar_list" = "$top/ $top/LICENSE $top/README.md $top/quorvel-cli " ] || fail "the tar holds: $tar_list"

echo "== the unpacked quorvel-cli runs on Linux"
cmake --build --preset linux-release --target pakwriter >/dev/null
build/linux-release/bin/pakwriter --demo "$scratch/demo.pak" >/dev/null
tar -xzf "$dist/$tar_name" -C "$scratch"
cli="$scratch/$top/quorvel-cli"
[ "$("$cli" --version)" = "quorvel-cli $version" ] || fail "quorvel-cli --version says: $("$cli" --version)"
listing=$("$cli" list "$scratch/demo.pak") || fail "quorvel-cli list exits with $?"
rows=$(printf "%s\n" "$listing" | grep -c . || true)
for name in readme.txt map_data.bin voice_020.wav; do
  printf '%s\n' "$listing" | grep -qx "$name" || fail "quorvel-cli list does not name $name"
done

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
