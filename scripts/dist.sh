#!/usr/bin/env bash
# Packs what a Windows administrator needs into build/dist/Tollgate-<version>.zip:
# Tollgate.dll, the stand-in host mailhost.exe, a sample Tollgate.ini and the README.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TOLLGATE_BUILD_DIR:-$repo/build}"

"$repo/scripts/setup.sh"
"$repo/scripts/build.sh" "$build/windows"

version=$(sed -n 's/^project(Tollgate VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
stage="$build/dist/Tollgate-$version"
rm -rf "$stage" "$stage.zip"
mkdir -p "$stage"
cp "$build/windows/bin/Tollgate.dll" "$build/windows/bin/mailhost.exe" "$stage/"
# Windows line ends for the text files: they are read with Notepad.
sed 's/$/\r/' "$repo/mailhost/Tollgate.ini.sample" > "$stage/Tollgate.ini.sample"
sed 's/$/\r/' "$repo/README.md" > "$stage/README.md"
(cd "$build/dist" && zip -q -r "Tollgate-$version.zip" "Tollgate-$version")
echo "dist: $build/dist/Tollgate-$version.zip"
unzip -l "$build/dist/Tollgate-$version.zip"
