#!/usr/bin/env bash
# Usage: no_libm_log.sh BINARY...
# The model's logarithm is its own, correctly rounded one: a library log
# differs between machines (and between CPU variants of one library), so no
# binary may import one.
set -euo pipefail
status=0
for binary in "$@"; do
  imports=$(nm -D --undefined-only "$binary" | awk '{print $NF}' |
            grep -E '^(log|logf|logl|log1p|log2|log10|__log_finite)(@|$)' || true)
  if [ -n "$imports" ]; then
    echo "FAIL: $binary imports $imports"
    status=1
  fi
done
[ $status = 0 ] && echo "no libm logarithm imported by: $*"
exit $status
