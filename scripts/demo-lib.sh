# What the demo scripts share; sourced, not run.

. "$(dirname "${BASH_SOURCE[0]}")/wine-lib.sh"

# Reads the demo's options into $keep and $trace; --help prints $1 (the
# usage) and exits 0; anything else prints the problem and the usage's
# synopsis (its first two lines) on standard error and exits 2.
demo_options() {
  local usage=$1
  shift
  keep="" trace=""
  local arg
  for arg in "$@"; do
    case $arg in
      --keep) keep=--keep ;;
      --trace) trace=--trace ;;
      --help | -h) echo "$usage"; exit 0 ;;
      *)
        printf '%s: unknown option %s\n%s\n' "$(basename "$0")" "$arg" "$(head -2 <<<"$usage")" >&2
        echo "Run 'bash scripts/$(basename "$0") --help' for more." >&2
        exit 2
        ;;
    esac
  done
}

# Shows the command line $* as an administrator types it.
say() { echo "> $*"; }

# Runs a Windows program as `run` does, but with Wine's event-log channel on
# (WINEDEBUG=+eventlog, as docs/admin.md tells): shows the program's output,
# then each event that it and its children wrote, read from their standard
# error. Both go through files, never a pipe: a program that the request
# started may hold the standard handles it inherited until it ends.
run_events() {
  local out err status
  out=$(mktemp)
  err=$(mktemp)
  WINEDEBUG=+eventlog "${wine:-wine}" "$@" </dev/null >"$out" 2>"$err" && status=0 || status=$?
  tr -d '\r' <"$out"
  show_events <"$err"
  rm -f "$out" "$err"
  return $status
}

# Reads Wine's event-log stub output (a "fixme:advapi:ReportEventW (handle,
# type,category,id,...)" line, then a line per insert on the eventlog channel)
# and prints each event as "event ID (TYPE): insert | insert | ...". Lines of
# one thread belong together; a cut insert (no closing quote) ends in "...".
show_events() {
  perl -CO -ne '
    BEGIN { %type = (1 => "error", 2 => "warning", 4 => "information", 8 => "audit success", 16 => "audit failure") }
    sub text { my $t = shift;
      $t =~ s/\\(\\|"|n|r|t|[0-9a-fA-F]{4})/$1 eq "n" ? "\\n" : $1 eq "r" ? "\\r" : $1 eq "t" ? "\\t" : length($1) == 4 ? chr(hex $1) : $1/ge;
      return $t }
    s/\r?\n$//;
    if (/^(?:([0-9a-f]+):)?fixme:advapi:ReportEventW \([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),/) {
      push @events, { type => hex $2, id => hex $3, texts => [] };
      $current{$1 // ""} = $events[-1];
    } elsif (/^(?:([0-9a-f]+):)?(?:err|warn|trace):eventlog:ReportEventW L"(.*)$/ && $current{$1 // ""}) {
      my $t = $2;
      push @{$current{$1 // ""}{texts}}, ($t =~ s/"$// ? text($t) : text($t) . "...");
    }
    END { for (@events) { printf "event %d (%s): %s\n", $_->{id}, $type{$_->{type}} // $_->{type}, join(" | ", @{$_->{texts}}) } }'
}

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
  # A compiler cache, where the machine has one (install-deps.sh installs it).
  if [ ${#first[@]} -gt 0 ] && command -v ccache >/dev/null; then
    first+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  echo "== Building the package in $dir (a few minutes the first time)"
  cmake -S . -B "$dir" -G Ninja "${first[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target lumidex_msi | show_build_progress
}

# Shows ninja's progress as its lines come, read by the shell itself (a
# filter such as awk reads its input in blocks from a pipe and holds lines
# back): on a terminal one line that counts every step; elsewhere a line for
# a step that ends 5 s or more after the last line shown, and for the last.
# From a failure on, every line.
show_build_progress() {
  local line step total shown=$SECONDS failed=""
  while IFS= read -r line; do
    if [ -n "$failed" ] || [[ $line == FAILED:* ]]; then
      failed=1
      echo "$line"
      continue
    fi
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
    step=${BASH_REMATCH[1]} total=${BASH_REMATCH[2]}
    [ "$step" -gt 0 ] || continue
    if [ -t 1 ]; then
      printf '\r   %s of %s built' "$step" "$total"
      [ "$step" != "$total" ] || echo
    elif [ "$step" = "$total" ] || ((SECONDS - shown >= 5)); then
      echo "   $step of $total built"
      shown=$SECONDS
    fi
  done
}
