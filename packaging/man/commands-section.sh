#!/bin/sh
# Writes a help2man include file with a COMMANDS section made of each
# command's own help text, so that the manual page says what `TOOL help
# COMMAND` says.
#   commands-section.sh TOOL OUTPUT COMMAND...
set -eu
tool=$1 output=$2
shift 2
{
    echo "[COMMANDS]"
    for command in "$@"; do
        "$tool" help "$command" | awk '
            NR == 1 { sub(/^Usage: [^ ]+ /, ""); print ".TP"; print ".B " $0; next }
            /^Options:$/ { exit }
            NF == 0 { next }
            { sub(/^[.'"'"']/, "\\\\\\&&"); print }'
    done
} >"$output"
