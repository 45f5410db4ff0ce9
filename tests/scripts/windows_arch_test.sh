#!/usr/bin/env bash
# Which Windows tree scripts/windows-arch.sh picks: by the probe's outcome, or as forced.
# A file of zeros stands in for a 32-bit program on a kernel that refuses them (ENOEXEC).
set -u
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/windows-arch.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
head -c 64 /dev/zero > "$scratch/refused"
chmod +x "$scratch/refused"

failures=0
# forced value | probe program | expected tree | text the reason holds
while IFS='|' read -r forced probe want why; do
  [ -z "$probe" ] && continue
  probe=${probe//@/$scratch} why=${why//@/$scratch}
  if ! TOLLGATE_WINDOWS_ARCH=$forced TOLLGATE_I686_PROBE=$probe windows_arch_choose; then
    echo "FAIL forced '$forced', probe $probe: no decision"; failures=$((failures + 1)); continue
  fi
  if [ "$windows_arch" != "$want" ] || [[ $windows_arch_why != *"$why"* ]]; then
    echo "FAIL forced '$forced', probe $probe: $windows_arch ($windows_arch_why), want $want ($why)"
    failures=$((failures + 1))
  fi
done <<'CASES'
|@/refused|x86_64|kernel runs 64-bit programs only (@/refused: Exec format error)
|@/missing|x86_64|does not run here
|/bin/true|i686|runs 32-bit x86 programs
x86_64|/bin/true|x86_64|TOLLGATE_WINDOWS_ARCH=x86_64
i686|@/refused|i686|TOLLGATE_WINDOWS_ARCH=i686
CASES

if TOLLGATE_WINDOWS_ARCH=arm64 windows_arch_choose 2>/dev/null; then
  echo "FAIL an unknown forced value was accepted"; failures=$((failures + 1))
fi
[ "$(windows_tree i686)/$(windows_tree x86_64)" = windows/windows64 ] \
  || { echo "FAIL tree folders"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "all decisions as expected"
exit $((failures > 0))
