#!/usr/bin/env bash
# Sets up what is missing, builds Tavrik and runs its main job on the default
# simulated computer: grant a right on a directory tree, list it, back it up,
# change it, restore it, and show that it came back.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
echo "== Building (build/) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIK_TESTS=OFF -DTAVRIK_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tavrik >/dev/null
tavrik=build/tavrik

# The default simulated computer lives in the per-user data directory and is
# created on first use; its drive C: is a directory beside the database.
data="${XDG_DATA_HOME:-$HOME/.local/share}/tavrik"
unset TAVRIK_MACHINE
"$tavrik" machine show >/dev/null
driveC="$data/C"
tree="$driveC/TavrikDemo"
rm -rf "$tree"
mkdir -p "$tree/Reports/2024" "$tree/Public"
echo "quarterly figures" > "$tree/Reports/2024/q4.txt"
echo "hello" > "$tree/Public/readme.txt"
echo "== The demo tree: C:\\TavrikDemo (on this host: $tree) =="

show() { "$tavrik" list 'C:\TavrikDemo' --recurse --format sddl --what dacl,owner --quiet | grep -v '^$' | grep -v 'Tavrik finished'; }

echo
echo "== 1. Grant BUILTIN\\Users read & execute on the whole tree =="
"$tavrik" grant 'C:\TavrikDemo' 'BUILTIN\Users' read_ex --recurse --quiet
echo
echo "== 2. The descriptors now =="
show | tee "$data/demo-before.txt"
echo
echo "== 3. Back them up =="
"$tavrik" backup 'C:\TavrikDemo' "$data/demo-backup.txt" --recurse --quiet
echo "saved to $data/demo-backup.txt"
echo
echo "== 4. Change them: deny Guest on Reports, protect Public without inherited entries =="
"$tavrik" deny 'C:\TavrikDemo\Reports' Guest full --quiet
"$tavrik" protect 'C:\TavrikDemo\Public' --dacl remove --quiet
show
echo
echo "== 5. Restore the backup =="
"$tavrik" restore "$data/demo-backup.txt" --quiet
show | tee "$data/demo-after.txt"
echo
if diff -u "$data/demo-before.txt" "$data/demo-after.txt"; then
  echo "== The descriptors came back exactly as they were before the change. =="
else
  echo "== The restored descriptors differ from the backup (see above). ==" >&2
  exit 1
fi
