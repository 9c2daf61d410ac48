# What the demo scripts share; sourced, not run.

. "$(dirname "${BASH_SOURCE[0]}")/wine-lib.sh"

# Shows the launcher's and the plug-in's texts that tracewatch (pid $2)
# recorded into the file $1, then ends the watch and removes the file.
show_watched_texts() {
  sleep 3
  grep -a -E '\[vmplugin\]|\[vormidmgr.exe\]' "$1" | tr -d '\r' | sed 's/^[0-9]*: /  /' || true
  kill "$2" 2>/dev/null || true
  rm -f "$1"
}

# Creates the private prefix $WINEPREFIX afresh ($1 names its kind in the
# heading) and keeps a server alive for it.
fresh_prefix() {
  wineserver -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
  echo "== Creating a private ${1}Wine prefix: $WINEPREFIX"
  "${wine:-wine}" wineboot -i >/dev/null 2>&1
  wineserver -w
  setsid wineserver -p60 </dev/null >/dev/null 2>&1 &
}

# Configures the tree $1 with the toolchain file $2 (further arguments go to
# the configuration) and builds what the demo runs: the package, which holds
# the product and its tools. CMake reads the toolchain file only when it
# first configures a tree, so it is named only then.
build_tree() {
  local dir=$1 toolchain=$2
  shift 2
  local first=()
  [ -f "$dir/CMakeCache.txt" ] || first=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
  echo "== Building the package in $dir (a few minutes the first time)"
  cmake -S . -B "$dir" -G Ninja "${first[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target lumidex_msi |
    awk -F'[][/]' '/FAILED|error:/ { print; next }
                   /^\[[0-9]+\/[0-9]+\]/ { if ($2 > 0 && $2 % 20 == 0 || $2 == $3) { printf "   %s of %s built\n", $2, $3; fflush() } }'
}
