#!/usr/bin/env bash
# fuzz.sh BUILD_DIR SECONDS: runs every fuzz target on its committed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; seconds=$2
for target in $(find "$dir/fuzz" -type f -name 'fuzz_*' -perm -u+x 2>/dev/null | sort); do
  name=$(basename "$target")
  corpus=fuzz/corpus/${name#fuzz_}
  mkdir -p "$corpus"
  work=$(mktemp -d)
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=0 "$work" "$corpus" >"$work.log" 2>&1 \
    || { tail -50 "$work.log"; rm -rf "$work" "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
