# Shell helpers for scripts that drive Windows programs under Wine; sourced.

# Runs a Windows program (with the loader $wine, else wine) with its output
# on our terminal, through a file: the Wine server would hold a pipe open
# after the program ends.
run() {
  local out status
  out=$(mktemp)
  "${wine:-wine}" "$@" </dev/null >"$out" 2>&1 && status=0 || status=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $status
}

# A Unix path as Wine's Z: drive shows it.
winpath() { echo "Z:${1//\//\\}"; }
