# Sourced: decides which Windows tree this machine runs, for scripts/test.sh and scripts/run.sh.
#   windows_arch_choose   sets windows_arch (i686 or x86_64) and windows_arch_why (one phrase
#                         saying why); returns 1, with a message, for an unknown forced value.
#   windows_tree ARCH     the tree's folder name under the build root: windows or windows64.
# The i686 tree is the shipped one; it runs wherever the kernel runs 32-bit x86 programs. Some
# x86-64 kernels run 64-bit programs only (IA-32 emulation off): there Wine's 32-bit half cannot
# start, and the x86-64 tree runs under wine64 instead. The machine is asked by executing a
# 32-bit program, never guessed from its name or distribution.
#   TOLLGATE_WINDOWS_ARCH=i686|x86_64   forces that tree (no probe).
#   TOLLGATE_I686_PROBE=PROGRAM         the 32-bit program the probe executes (default: Wine's
#                                       32-bit loader, the program the i686 suites need).

windows_arch_choose() {
  case "${TOLLGATE_WINDOWS_ARCH:-}" in
    i686 | x86_64)
      windows_arch=$TOLLGATE_WINDOWS_ARCH
      windows_arch_why="TOLLGATE_WINDOWS_ARCH=$TOLLGATE_WINDOWS_ARCH"
      return 0 ;;
    "") ;;
    *)
      echo "TOLLGATE_WINDOWS_ARCH is '$TOLLGATE_WINDOWS_ARCH'; use i686 or x86_64" >&2
      return 1 ;;
  esac

  local probe="${TOLLGATE_I686_PROBE:-/usr/lib/wine/wine}" out
  if out=$("$probe" --version </dev/null 2>&1); then
    windows_arch=i686
    windows_arch_why="this machine runs 32-bit x86 programs"
    return 0
  fi
  windows_arch=x86_64
  # Executing a file the kernel cannot load fails with ENOEXEC, "Exec format error".
  if [[ $out == *"Exec format error"* ]]; then
    windows_arch_why="this machine's kernel runs 64-bit programs only ($probe: Exec format error)"
  else
    windows_arch_why="the 32-bit program $probe does not run here: $(printf '%s' "$out" | head -1)"
  fi
}

windows_tree() {
  if [ "$1" = x86_64 ]; then echo windows64; else echo windows; fi
}
