#!/usr/bin/env bash
# Mutation check, run on demand (not part of scripts/test.sh): puts each mutant of tests/mutants/
# into a copy of the working tree, rebuilds what its tests run, runs them, and prints killed /
# survived and the score. Exit status 0 when the score is at least 90 % and every mutant applies.
#
#   scripts/mutate.sh                 every mutant (about an hour on 2 cores)
#   scripts/mutate.sh client window   the mutants whose ids match any of these expressions
#   scripts/mutate.sh --list          the mutants and what each stands for
#
# The copy and its build folders live in build-mutate/ (OVERLAY_MUTATE_DIR), kept between runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${OVERLAY_MUTATE_DIR:-$root/build-mutate}
thrift_root=$("$root/scripts/bootstrap.sh" | tail -n 1)
mkdir -p "$work"
exec "$root/scripts/with-wine.sh" "$work/wine-prefix" \
  python3 "$root/scripts/mutate.py" --root "$root" --work "$work" --thrift "$thrift_root" "$@"
