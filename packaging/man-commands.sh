#!/bin/sh
# Every command's own help (its options and examples) as the COMMANDS section
# of the manual page, for help2man --include. Usage: man-commands.sh CLIENT OUT
set -eu
client=$1
out=$2
commands=$("$client" --help | awk 'tolower($0) ~ /^subcommands:/ { on = 1; next }
  on && /^  [a-z]/ { if ($1 != "help") print $1 } on && /^$/ { on = 0 }')
{
  echo '[COMMANDS]'
  for command in $commands; do
    echo ".SS $command"
    echo '.nf'
    # Backslashes, and lines that roff would take for requests, escaped.
    "$client" help "$command" | sed -e 's/\\/\\e/g' -e 's/^[.'"'"']/\\\&&/'
    echo '.fi'
  done
} >"$out"
