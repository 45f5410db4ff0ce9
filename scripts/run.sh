#!/usr/bin/env bash
# The main job: builds Tollgate.dll and prints where it is.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$repo/scripts/build.sh"
echo "Tollgate.dll: $repo/build/windows/bin/Tollgate.dll"
