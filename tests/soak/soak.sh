#!/usr/bin/env bash
# soak.sh BUILD_DIR [SECONDS] [CLIENTS]: the long run (not part of the test
# command). A server process with 64 channels pushed at 25 fps, channel
# resets and account changes (soak_server), and CLIENTS (200) clients joining
# and leaving at random for SECONDS (600). Every 5 s the server's RSS,
# descriptors and threads are sampled, and the server reports the bytes its
# heap has handed out. Checks: the heap in use and RSS each grow by less than
# 1% from the first minute after the warm-up (WARMUP seconds, 120) to the last
# minute (RSS also counts the frame queues and RTP frame areas, mapped outside
# the heap, whose pages become resident as frames pass: each session build
# gets fresh ones, so RSS moves by a few MiB either way as channels are
# rebuilt; the trend over every sample after the warm-up, from a least-squares
# line, is printed too), and RSS stays within the heap plus those areas; the
# same number of descriptors and threads once the
# clients have gone and their sessions have been reclaimed as before they
# came; no log line but the expected ones. Figures and logs stay in the
# printed folder.
set -euo pipefail
build=$(cd "$1" && pwd); seconds=${2:-600}; clients=${3:-200}; warmup=${WARMUP:-120}
reclaim=${RECLAIM_WAIT:-70}
SOAK_CHANNELS=64  # soak_server's channel count
out=$(mktemp -d /tmp/nerivo-soak.XXXXXX)
echo "soak: ${seconds}s, $clients clients, output in $out"

sample() {  # label: seconds, RSS kB, descriptors, threads
  local rss fds threads
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$spid/status")
  fds=$(ls "/proc/$spid/fd" | wc -l)
  threads=$(ls "/proc/$spid/task" | wc -l)
  echo "$1 $rss $fds $threads"
}

mkfifo "$out/stdin"
"$build/tests/soak/soak_server" <"$out/stdin" >"$out/server.log" 2>&1 &
spid=$!
exec 3>"$out/stdin"  # the server runs while this stays open
port=""
for _ in $(seq 100); do
  port=$(awk '/^port / {print $2; exit}' "$out/server.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "soak: the server did not start"; cat "$out/server.log"; exit 1; }
sleep 1
sample before | tee "$out/quiet.txt"

"$build/tests/soak/soak_clients" "$port" "$seconds" "$clients" >"$out/clients.log" 2>&1 &
cpid=$!
start=$(date +%s)
while kill -0 "$cpid" 2>/dev/null; do
  sample $(( $(date +%s) - start )) >>"$out/samples.txt"
  sleep 5
done
set +e
wait "$cpid"; crc=$?
set -e
# UDP sessions of clients that left without TEARDOWN end with reclamation.
sleep "$reclaim"
sample after | tee -a "$out/quiet.txt"
exec 3>&-
wait "$spid" || true
cat "$out/clients.log" "$out/server.log" | grep -E '^soak|^  failed' || true

# Medians of the first minute after the warm-up and of the last minute.
window_medians() {  # file with "seconds value" lines
  awk -v w="$warmup" -v end="$seconds" '
    function median(a, n,   i, j, t) { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
                                       return n ? a[int((n + 1) / 2)] : 0 }
    $1 >= w && $1 < w + 60 { f[++nf] = $2 }
    $1 >= end - 60 && $1 <= end { l[++nl] = $2 }
    END { print median(f, nf), median(l, nl) }' "$1"
}
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a ? (b - a) * 100 / a : 100 }'; }
awk '{print $1, $2}' "$out/samples.txt" >"$out/rss.txt"
awk '/^heap / {print $2, $3}' "$out/server.log" >"$out/heap.txt"
read -r first last <<<"$(window_medians "$out/rss.txt")"
read -r heapFirst heapLast <<<"$(window_medians "$out/heap.txt")"
growth=$(percent "$first" "$last")
trend=$(awk -v w="$warmup" -v end="$seconds" '$1 >= w && $1 <= end { n++; sx += $1; sy += $2; sxx += $1 * $1; sxy += $1 * $2 }
             END { if (n < 2) { print "0.00"; exit } b = (n * sxy - sx * sy) / (n * sxx - sx * sx)
                   printf "%.2f", b * (end - w) * 100 / (sy / n) }' "$out/rss.txt")
heapGrowth=$(percent "$heapFirst" "$heapLast")
heapMax=$(awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' "$out/heap.txt")
rssMax=$(awk 'BEGIN { m = 0 } $2 > m { m = $2 } END { print m }' "$out/rss.txt")
read -r _ rss0 fds0 threads0 <<<"$(sed -n 1p "$out/quiet.txt")"
read -r _ rss1 fds1 threads1 <<<"$(sed -n 2p "$out/quiet.txt")"
range=$(awk 'NR == 1 { minr = maxr = $2; minf = maxf = $3; mint = maxt = $4 }
             { if ($2 < minr) minr = $2; if ($2 > maxr) maxr = $2; if ($3 < minf) minf = $3; if ($3 > maxf) maxf = $3;
               if ($4 < mint) mint = $4; if ($4 > maxt) maxt = $4 }
             END { printf "RSS %d-%d kB, descriptors %d-%d, threads %d-%d", minr, maxr, minf, maxf, mint, maxt }' \
        "$out/samples.txt")
echo "soak: during the run $range"
echo "soak: heap in use median ${heapFirst} kB (after warm-up) -> ${heapLast} kB (last minute): ${heapGrowth}%, at most ${heapMax} kB"
echo "soak: RSS median ${first} kB (after warm-up) -> ${last} kB (last minute): ${growth}%, at most ${rssMax} kB"
echo "soak: RSS trend after the warm-up (least squares over every sample): ${trend}%"
echo "soak: quiet before/after: RSS $rss0/$rss1 kB, descriptors $fds0/$fds1, threads $threads0/$threads1"

# Log lines the run explains: pushes racing a reset, the teardown at exit.
unexpected=$(grep -vE '^port [0-9]+$|^heap [0-9]+ [0-9]+$|^soak server:|The channel is reset: [0-9]+$|Callback not be set\.$' \
             "$out/server.log" || true)
status=0
awk -v g="$heapGrowth" 'BEGIN { exit !(g < 1.0) }' || { echo "soak: FAIL the heap in use grew ${heapGrowth}%"; status=1; }
awk -v g="$growth" 'BEGIN { exit !(g < 1.0) }' || { echo "soak: FAIL RSS grew ${growth}%"; status=1; }
# Per channel at most a 3 MiB + 128 KiB queue pair and two RTP frame areas of 1 MiB + 64 KiB.
mappedKb=$((SOAK_CHANNELS * (3072 + 128 + 2 * 1088)))
[ "$rssMax" -le $((heapMax + rss0 + mappedKb)) ] || { echo "soak: FAIL RSS ${rssMax} kB beyond the heap in use ${heapMax} kB, the mapped areas ${mappedKb} kB and the idle ${rss0} kB"; status=1; }
[ "$fds1" -eq "$fds0" ] || { echo "soak: FAIL descriptors $fds0 -> $fds1"; status=1; }
[ "$threads1" -eq "$threads0" ] || { echo "soak: FAIL threads $threads0 -> $threads1"; status=1; }
[ "$crc" -eq 0 ] || { echo "soak: FAIL the clients reported failures"; status=1; }
if [ -n "$unexpected" ]; then
  echo "soak: FAIL unexpected log lines ($(echo "$unexpected" | wc -l)), first ones:"
  echo "$unexpected" | head -20
  status=1
fi
[ "$status" -eq 0 ] && echo "soak: PASS"
exit "$status"
