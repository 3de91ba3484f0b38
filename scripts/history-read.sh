#!/usr/bin/env bash
# What reading a device's history to CSV costs: fills databases with N rows of
# one device (the rectifier device of the bundled example site, whose image is
# the largest), writes them all to CSV, and reports the time and peak memory
# (/usr/bin/time -v) per size: memory must not grow with the row count. Then
# reads the largest again while another voka-host writes to the same database,
# and reports whether the writer met any problem (it must not: WAL readers do
# not block it).
#
# Usage: scripts/history-read.sh [-b BUILD_DIR] [ROWS...]   (default: build/release 10000 100000)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/require.sh
source scripts/lib/host_under_test.sh
require sqlite3:sqlite3 /usr/bin/time:time
host_under_test "$@"
sizes=("${args[@]}")
((${#sizes[@]})) || sizes=(10000 100000)
trap 'rm -rf "$dir"' EXIT

# One real round of the bundled site gives the schema and one image of each device.
"$host" --rounds 1 --db "$dir/seed.db" >/dev/null 2>&1
now=$(date +%s)
for n in "${sizes[@]}"; do
    cp "$dir/seed.db" "$dir/$n.db"
    # Device 1's image, repeated every 5 s up to now.
    sqlite3 "$dir/$n.db" "
        WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < $n)
        INSERT INTO history (data_id, record_type, device_type, time, image)
        SELECT h.data_id, h.record_type, h.device_type, $now - 5 * ($n - k.i), h.image
        FROM k, (SELECT * FROM history WHERE data_id = 1 ORDER BY row LIMIT 1) AS h;
        DELETE FROM history WHERE data_id = 1 AND row = (SELECT min(row) FROM history WHERE data_id = 1);"
    /usr/bin/time -v "$host" history 1 --format csv --db "$dir/$n.db" >"$dir/$n.csv" 2>"$dir/$n.time"
    awk -v n="$n" -v lines="$(wc -l <"$dir/$n.csv")" '
        /Elapsed \(wall clock\)/ { wall = $NF }
        /User time/ { user = $NF }
        /System time/ { sys = $NF }
        /Maximum resident set size/ { rss = $NF }
        END { printf "%7d rows: %d CSV lines, %s wall, %.2f s CPU, peak RSS %d KiB\n", n, lines, wall, user + sys, rss }' "$dir/$n.time"
done

largest=${sizes[-1]}
# The writer stores its first images at once and trims device 1 to its default bound meanwhile.
"$host" --db "$dir/$largest.db" >"$dir/writer.out" 2>&1 &
writer=$!
sleep 1
/usr/bin/time -v "$host" history 1 --format csv --db "$dir/$largest.db" >/dev/null 2>"$dir/concurrent.time"
sleep 1
kill -TERM "$writer"
wait "$writer" || true
awk '/Elapsed \(wall clock\)/ { printf "read while another voka-host writes: %s wall\n", $NF }' "$dir/concurrent.time"
if grep -q "history database" "$dir/writer.out"; then
    echo "the writer met problems:"; grep "history database" "$dir/writer.out"; exit 1
fi
echo "the writer met no problem while the reader read"
