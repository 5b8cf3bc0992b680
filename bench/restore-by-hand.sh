#!/usr/bin/env bash
# A one-database restore done by hand: only the server steps, no checks. The
# baseline of the benchmark's restore figure.
#
#   bench/restore-by-hand.sh TOOL_DIR DEFAULTS_FILE STREAM DATABASE STAGING
#
# Extracts STREAM (a one-database backup of DATABASE) into STAGING, prepares
# it with --export, then for every InnoDB table of DATABASE on the server:
# DISCARD TABLESPACE, copy its .ibd and .cfg into the data directory, give
# them the data directory's owner, IMPORT TABLESPACE. Removes STAGING at the
# end. Table names must be plain words (the benchmark's are).
set -euo pipefail

(($# == 5)) || { echo "usage: restore-by-hand.sh TOOL_DIR DEFAULTS_FILE STREAM DATABASE STAGING" >&2; exit 2; }
tools=$1 cnf=$2 stream=$3 db=$4 staging=$5

sql() { mariadb --defaults-file="$cnf" "$@"; }

datadir=$(sql -N -e 'SELECT @@datadir')
owner=$(stat -c %u:%g "$datadir/mysql")

rm -rf "$staging"
mkdir "$staging"
"$tools/xbstream" -x -C "$staging" <"$stream"
"$tools/xtrabackup" --prepare --export --target-dir="$staging" 2>"$staging.prepare.log" || {
  tail -n 5 "$staging.prepare.log" >&2
  exit 1
}
rm -f "$staging.prepare.log"

tables=$(sql -N -e "SELECT table_name FROM information_schema.tables
                    WHERE table_schema = '$db' AND engine = 'InnoDB' ORDER BY table_name")
for table in $tables; do
  sql -D "$db" -e "ALTER TABLE \`$table\` DISCARD TABLESPACE"
  cp "$staging/$db/$table.ibd" "$staging/$db/$table.cfg" "$datadir/$db/"
  chown "$owner" "$datadir/$db/$table.ibd" "$datadir/$db/$table.cfg"
  sql -D "$db" -e "ALTER TABLE \`$table\` IMPORT TABLESPACE"
done
rm -rf "$staging"
