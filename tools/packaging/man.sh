#!/usr/bin/env bash
# Makes a man page from a program's own help: man.sh NAME SECTION SUMMARY OUTPUT.gz -- COMMAND...
# The help text is the page's description, kept as printed (no filling).
set -euo pipefail
name=$1; section=$2; summary=$3; out=$4; shift 5
help=$("$@" 2>&1 || true)
upper=$(printf '%s' "$name" | tr '[:lower:]' '[:upper:]')
{
  printf '.TH %s %s "" "%s" "AM"\n' "$upper" "$section" "$name"
  printf '.SH NAME\n%s \\- %s\n' "$name" "$summary"
  printf '.SH DESCRIPTION\n.nf\n'
  # Backslashes doubled; a leading dot or quote would be read as a request.
  printf '%s\n' "$help" | sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"
  printf '.fi\n'
} | gzip -9n > "$out"
