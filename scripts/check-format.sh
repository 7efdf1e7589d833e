#!/usr/bin/env bash
# Fails when a tracked C++ source deviates from .clang-format. With --fix it
# reformats those files instead.
set -euo pipefail
cd "$(dirname "$0")/.."
format=${CLANG_FORMAT:-clang-format-14}
if ! command -v "$format" >/dev/null; then
  echo "check-format: $format is missing (Debian package clang-format-14)" >&2
  exit 1
fi
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
if ! out=$("$format" --dry-run -Werror "${files[@]}" 2>&1); then
  echo "check-format: not formatted with .clang-format (scripts/check-format.sh --fix):" >&2
  # Its messages read "FILE:LINE:COLUMN: error: ...".
  grep -oE '^[^:]+:[0-9]+:[0-9]+: error' <<<"$out" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
