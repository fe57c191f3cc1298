# Shell helpers shared by the project's scripts; sourced, never run.

# fresh DIR: a build tree configured from another checkout (a copied or moved
# clone) would build that checkout's sources, or refuse to configure: start
# such a tree afresh. Needs $top, the top of this checkout.
fresh() {
  local dir=$1 home
  [ -f "$dir/CMakeCache.txt" ] || return 0
  home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$dir/CMakeCache.txt")
  if [ "$(cd "$home" 2>/dev/null && pwd -P)" != "$top" ]; then
    echo "$(basename "$0"): $dir/ belongs to ${home:-another tree}; starting it afresh" >&2
    rm -rf "$dir"
  fi
}
