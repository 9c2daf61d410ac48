# What the demo scripts share; sourced, not run.

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

# Runs a Windows program (with the loader $wine, else wine) with its output
# on our terminal (through a file: the Wine server would hold a pipe open
# after the program ends).
run() {
  local out status
  out=$(mktemp)
  "${wine:-wine}" "$@" </dev/null >"$out" 2>&1 && status=0 || status=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $status
}

# Configures and builds the tree $1 with the toolchain file $2 (further
# arguments go to the configuration), quietly.
build_tree() {
  local dir=$1 toolchain=$2
  shift 2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" >/dev/null
}
