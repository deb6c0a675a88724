#!/usr/bin/env bash
# Runs one phase of `make test` with its output kept in a log file, so the
# console stays short: while it runs, the log's latest line every 10 s; when it
# passes, the lines matching SHOW (an extended regex, optional); when it fails,
# the log's last TAIL lines (default 80) and the log's path.
#   tools/step.sh LOG COMMAND [ARGS...]
set -uo pipefail
log=$1
shift
mkdir -p "$(dirname "$log")"
export PYTHONUNBUFFERED=1
"$@" >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; exit 130' INT TERM
ticks=0
while kill -0 "$pid" 2>/dev/null; do
  sleep 1
  ticks=$((ticks + 1))
  if ((ticks % 10 == 0)) && kill -0 "$pid" 2>/dev/null; then
    last=$(tail -c 4096 "$log" | tr '\r' '\n' | grep -a -v '^[[:space:]]*$' | tail -n 1 | cut -c 1-110)
    echo "   ... ${ticks}s: ${last:-(no output yet)}"
  fi
done
wait "$pid"
rc=$?
if ((rc != 0)); then
  tail -n "${TAIL:-80}" "$log"
  echo "FAILED (exit $rc): $*  -- full log: $log" >&2
  exit "$rc"
fi
if [ -n "${SHOW:-}" ]; then grep -a -E "$SHOW" "$log" | cut -c 1-160 || true; fi
