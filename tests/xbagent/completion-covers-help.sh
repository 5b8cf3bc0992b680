#!/bin/sh
# Every option a command's --help lists is one the bash completion offers.
#   completion-covers-help.sh XBAGENT COMPLETION_FILE
xb=$1
completion=$2
status=0
for command in "" backup restore "restore --full" "restore --database d" binlog-archive verify \
    info list binlog-info encode; do
  # shellcheck disable=SC2086  # the command's words are split on purpose
  help=$("$xb" $command --help) || { echo "xbagent $command --help failed"; exit 1; }
  for option in $(printf '%s\n' "$help" | grep -oE '^  (-[a-z], )?--?[a-z][-a-z]*' |
      grep -oE -- '--?[a-z][-a-z]*'); do
    grep -qE -- "(^|[ \"(])$option([ \"|)]|\$)" "$completion" ||
      { echo "xbagent $command: $option is not completed"; status=1; }
  done
done
exit $status
