#!/usr/bin/env bash
# Sets up what is missing, builds Tavrik and runs its main job on the default
# simulated computer: grant a right on a directory tree, list it, back it up,
# change it, restore it, and show that it came back.
# Usage: scripts/demo.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build=${1:-build}
echo "== Building the tavrik command ($build/) =="
# Only the tavrik program is built here. A new build directory gets the
# project's default settings (tests on), so that scripts/test.sh can use the
# same directory afterwards; one that exists keeps its own settings. The
# compiler's output goes to a log shown only when the build fails; cmake's
# percentage is shown as it moves, one line per tenth on a log or a pipe.
mkdir -p "$build"
log="$build/demo-build.log"
: >"$log"
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "Configuring..."
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >>"$log" 2>&1 ||
    { cat "$log" >&2; exit 1; }
fi
progress() {
  local last=-1 line percent
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    # Make prints "[ 42%] ...", Ninja "[21/50] ...".
    if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
      percent=${BASH_REMATCH[1]}
    elif [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
      percent=$((100 * BASH_REMATCH[1] / BASH_REMATCH[2]))
    else
      continue
    fi
    if [ -t 1 ]; then
      [ "$percent" -ne "$last" ] && printf '\rBuilding: %3d%%' "$percent"
    elif [ $((percent / 10)) -ne $((last < 0 ? -1 : last / 10)) ]; then
      printf 'Building: %3d%%\n' "$percent"
    fi
    last=$percent
  done
  if [ -t 1 ] && [ "$last" -ge 0 ]; then printf '\n'; fi
}
echo "Building (the compiler's output goes to $log)..."
set +o pipefail
cmake --build "$build" -j"$(nproc)" --target tavrik 2>&1 | progress
status=${PIPESTATUS[0]}
set -o pipefail
[ "$status" -eq 0 ] || { cat "$log" >&2; exit 1; }
tavrik() { "$build/tavrik" "$@"; }

# The default simulated computer lives in the per-user data directory and is
# created on first use; its drive C: is the directory C beside the database.
unset TAVRIK_MACHINE
data="${XDG_DATA_HOME:-$HOME/.local/share}/tavrik"
tavrik machine show >/dev/null
tree="$data/C/TavrikDemo"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf "$tree"
mkdir -p "$tree/Reports/2024" "$tree/Public"
echo "quarterly figures" >"$tree/Reports/2024/q4.txt"
echo "hello" >"$tree/Public/readme.txt"

bold='' plain=''
if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; fi
step() { printf '\n%s== %s ==%s\n' "$bold" "$*" "$plain"; }
# --quiet leaves stdout to the records and puts the summary on stderr; the
# demo shows stderr only when a step fails.
quietly() {
  local err
  if ! err=$(tavrik "$@" --quiet 2>&1 >&3); then printf '%s\n' "$err" >&2; return 1; fi
} 3>&1
# Explicit entries only: what the job changes.
show() { quietly list 'C:\TavrikDemo' --recurse --format text --what owner,dacl --explicit | sed '/^$/d'; }
# The complete descriptors (inherited entries too), for the comparison.
snapshot() { quietly list 'C:\TavrikDemo' --recurse --format sddl --what owner,group,dacl >"$1"; }

step "The demo tree C:\\TavrikDemo (on this host: $tree)"
(cd "$data/C" && find TavrikDemo | sort)

step "1. Grant BUILTIN\\Users read & execute on the whole tree"
echo "\$ tavrik grant 'C:\\TavrikDemo' 'BUILTIN\\Users' read_ex --recurse"
tavrik grant 'C:\TavrikDemo' 'BUILTIN\Users' read_ex --recurse

step "2. The descriptors now (before)"
show
snapshot "$work/before.txt"

step "3. Back them up"
echo "\$ tavrik backup 'C:\\TavrikDemo' $work/backup.txt --recurse"
quietly backup 'C:\TavrikDemo' "$work/backup.txt" --recurse

step "4. Change them: deny Guest on Reports, protect Public and drop what it inherited"
echo "\$ tavrik deny 'C:\\TavrikDemo\\Reports' Guest full"
quietly deny 'C:\TavrikDemo\Reports' Guest full
echo "\$ tavrik protect 'C:\\TavrikDemo\\Public' --dacl remove"
quietly protect 'C:\TavrikDemo\Public' --dacl remove
for changed in 'C:\TavrikDemo\Reports' 'C:\TavrikDemo\Public'; do
  quietly list "$changed" --format text --explicit | sed '/^$/d'
done

step "5. Restore the backup"
echo "\$ tavrik restore $work/backup.txt"
quietly restore "$work/backup.txt"

step "6. The descriptors after the restore"
show
snapshot "$work/after.txt"

echo
if diff -u "$work/before.txt" "$work/after.txt"; then
  echo "Every descriptor of the tree came back exactly as it was before the change."
else
  echo "The restored descriptors differ from the ones backed up (see above)." >&2
  exit 1
fi
