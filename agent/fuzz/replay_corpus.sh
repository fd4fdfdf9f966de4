#!/usr/bin/env bash
# Usage: replay_corpus.sh FUZZ_TARGET CORPUS_DIR
# Runs every input of the corpus once through the target: a regression check, no fuzzing.
set -euo pipefail
target=$1
corpus=$2
mapfile -t inputs < <(find "$corpus" -type f | sort)
if [ ${#inputs[@]} -eq 0 ]; then
    echo "replay_corpus: no inputs in $corpus" >&2
    exit 1
fi
exec "$target" -rss_limit_mb=2048 "${inputs[@]}"
