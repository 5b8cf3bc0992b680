#!/usr/bin/env bash
# xbagent demo: back up and restore a real MariaDB server end to end.
#
#   xbagent/demo.sh BUILD_DIR        (run as root; ./run demo builds and calls it)
#
# 1. starts a throwaway server (tests/sandbox/mariadb-sandbox.sh) in a short
#    directory under /tmp and fills it with sample data: several databases,
#    InnoDB tables with secondary indexes and foreign keys, a partitioned
#    table, a FULLTEXT table, MyISAM and Aria tables, and names the server
#    stores encoded on disk (database my-db, table "t é-1");
# 2. backs up the database my-db alone, then the whole server, with xbagent;
# 3. verifies the whole-server backup (xbagent verify: restored on a scratch
#    server, CHECK TABLE on every table), then restores it into a new data
#    directory;
# 4. starts a second server on that directory and compares CHECKSUM TABLE of
#    every table between the two servers;
# 5. changes rows of my-db and drops two of its tables on the first server,
#    restores the one-database backup beside it (restore --database my-db
#    --as my-db_restored) and prints both sets of checksums, then restores it
#    in place with restore --database my-db --replace, and compares CHECKSUM
#    TABLE of every table of my-db with its value at backup time;
# 6. point in time: backs up a small database, writes more rows, notes the
#    time, deletes rows by mistake, archives the binary logs (binlog-archive
#    --once) and restores the database as of the noted time beside the live
#    one (restore --database --as --binlogs --until), comparing checksums;
# 7. prints a summary, stops both servers (also on failure or Ctrl-C) and
#    exits nonzero if any table differs.
set -euo pipefail

die() { printf 'demo: error: %s\n' "$*" >&2; exit 1; }

(($# >= 1)) || { echo "usage: $0 BUILD_DIR" >&2; exit 2; }
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=$(cd "$1" && pwd) || die "no build directory $1"
XB="$BUILD_DIR/bin/xbagent"
SANDBOX="$ROOT/tests/sandbox/mariadb-sandbox.sh"
[[ -x "$XB" ]] || die "$XB not built (cmake --build $BUILD_DIR --target xbagent)"
[[ $(id -u) -eq 0 ]] || die "run as root (the servers run as user mysql, restore gives files to mysql)"
id mysql >/dev/null 2>&1 || die "no user mysql (install mariadb-server)"
MARIADBD=$(command -v mariadbd || echo /usr/sbin/mariadbd)
[[ -x "$MARIADBD" ]] || die "mariadbd not found (install mariadb-server)"

# Short paths: unix socket names are limited to about 100 bytes.
WORK=$(mktemp -d /tmp/xbdemo.XXXXXX)
chmod 755 "$WORK"
S1="$WORK/s1"            # the original server (sandbox)
S2="$WORK/s2"            # the second server's socket, pid file and log
BACKUPS="$WORK/backups"
RESTORED="$WORK/restored"  # the restored data directory
mkdir -p "$BACKUPS" "$S2"
chown mysql:mysql "$S2"

stop_second_server() {
  local pid
  pid=$(cat "$S2/mariadbd.pid" 2>/dev/null || true)
  [[ -n "$pid" ]] || return 0
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 300); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -9 "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_second_server
  "$SANDBOX" stop "$S1" >/dev/null 2>&1 || true
  rm -rf -- "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f s", b - a }'; }
step() { printf '\n== %s\n' "$*"; }
sql1() { mariadb --defaults-file="$S1/my.cnf" "$@"; }
sql2() { mariadb --defaults-file="$S2/my.cnf" "$@"; }
size_of() { du -sh "$1" | cut -f1; }

T_START=$(now)

step "start a throwaway server in $S1"
"$SANDBOX" start "$S1"

step "create sample data"
t=$(now)
sql1 <<'SQL'
CREATE DATABASE shop;
USE shop;
CREATE TABLE customers (
  id INT PRIMARY KEY, email VARCHAR(80) NOT NULL, name VARCHAR(60) NOT NULL,
  UNIQUE KEY uk_email (email), KEY k_name (name)) ENGINE=InnoDB;
CREATE TABLE orders (
  id INT PRIMARY KEY, customer_id INT NOT NULL, total DECIMAL(10,2) NOT NULL,
  created DATETIME NOT NULL, note VARCHAR(200),
  KEY k_created (created),
  CONSTRAINT fk_orders_customer FOREIGN KEY (customer_id) REFERENCES customers (id))
  ENGINE=InnoDB;
CREATE TABLE order_items (
  order_id INT NOT NULL, line INT NOT NULL, product VARCHAR(40) NOT NULL, qty INT NOT NULL,
  PRIMARY KEY (order_id, line), KEY k_product (product),
  CONSTRAINT fk_items_order FOREIGN KEY (order_id) REFERENCES orders (id) ON DELETE CASCADE)
  ENGINE=InnoDB;
INSERT INTO customers SELECT seq, CONCAT('user', seq, '@example.com'), CONCAT('Customer ', seq)
  FROM seq_1_to_20000;
INSERT INTO orders SELECT seq, 1 + seq % 20000, (seq % 997) + 0.99,
  '2024-01-01' + INTERVAL (seq % 50000) MINUTE, REPEAT(CHAR(65 + seq % 26), 150)
  FROM seq_1_to_200000;
INSERT INTO order_items SELECT 1 + (seq DIV 2), seq % 2, CONCAT('product-', seq % 500), 1 + seq % 5
  FROM seq_0_to_399999;

CREATE DATABASE `my-db`;
USE `my-db`;
CREATE TABLE `t é-1` (id INT PRIMARY KEY, label VARCHAR(40) NOT NULL, KEY k_label (label))
  ENGINE=InnoDB;
INSERT INTO `t é-1` SELECT seq, CONCAT('label ', seq % 1000) FROM seq_1_to_50000;
CREATE TABLE authors (id INT PRIMARY KEY, name VARCHAR(40) NOT NULL, KEY (name)) ENGINE=InnoDB;
CREATE TABLE books (id INT PRIMARY KEY, author_id INT NOT NULL, title VARCHAR(80) NOT NULL,
  KEY (title), FOREIGN KEY (author_id) REFERENCES authors (id)) ENGINE=InnoDB;
INSERT INTO authors SELECT seq, CONCAT('Author ', seq) FROM seq_1_to_500;
INSERT INTO books SELECT seq, 1 + seq % 500, CONCAT('Title ', seq) FROM seq_1_to_20000;
CREATE TABLE shelves (id INT, floor INT, label VARCHAR(20), PRIMARY KEY (id, floor))
  PARTITION BY RANGE (floor) (PARTITION f0 VALUES LESS THAN (2), PARTITION f1 VALUES LESS THAN MAXVALUE);
INSERT INTO shelves SELECT seq, seq % 4, CONCAT('shelf ', seq) FROM seq_1_to_2000;
CREATE TABLE reviews (id INT PRIMARY KEY, body TEXT, FULLTEXT KEY ft_body (body)) ENGINE=InnoDB;
INSERT INTO reviews SELECT seq, CONCAT('review ', seq, ' rates it ', ELT(1 + seq % 3, 'good', 'fine', 'dull'))
  FROM seq_1_to_3000;
CREATE TABLE loans (id INT PRIMARY KEY, book_id INT NOT NULL) ENGINE=MyISAM;
INSERT INTO loans SELECT seq, 1 + seq % 20000 FROM seq_1_to_5000;

CREATE DATABASE analytics;
USE analytics;
CREATE TABLE events (id INT PRIMARY KEY, kind TINYINT NOT NULL, payload VARCHAR(100),
  KEY k_kind (kind)) ENGINE=InnoDB PARTITION BY HASH (id) PARTITIONS 4;
INSERT INTO events SELECT seq, seq % 7, MD5(seq) FROM seq_1_to_100000;
CREATE TABLE notes (id INT PRIMARY KEY, body TEXT, FULLTEXT KEY ft_body (body)) ENGINE=InnoDB;
INSERT INTO notes SELECT seq, CONCAT('note number ', seq, ' about topic ', seq % 37)
  FROM seq_1_to_5000;
CREATE TABLE legacy (id INT PRIMARY KEY, v INT) ENGINE=MyISAM;
INSERT INTO legacy SELECT seq, seq * 3 FROM seq_1_to_10000;
CREATE TABLE crashsafe (id INT PRIMARY KEY, v INT) ENGINE=Aria;
INSERT INTO crashsafe SELECT seq, seq * 5 FROM seq_1_to_10000;
SQL
T_DATA=$(since "$t")
echo "sample data created in $T_DATA"
echo "on-disk names: my-db -> $("$XB" encode my-db), 't é-1' -> $("$XB" encode 't é-1')"

step "back up one database: my-db"
t=$(now)
"$XB" backup --defaults-file "$S1/my.cnf" --database my-db --output-dir "$BACKUPS/my-db"
T_DB=$(since "$t")
ls -l "$BACKUPS/my-db"
grep -E '"(kind|database|database_on_disk|size|sha256)"' "$BACKUPS/my-db/manifest.json" | head -n 6
# CHECKSUM TABLE of every table of my-db at backup time (nothing changes it
# until the single-database restore step).
MYDB_TABLES=$(sql1 -N -B -e "
  SELECT CONCAT('\`my-db\`.\`', REPLACE(TABLE_NAME, '\`', '\`\`'), '\`')
  FROM information_schema.TABLES
  WHERE TABLE_SCHEMA = 'my-db' AND TABLE_TYPE = 'BASE TABLE' ORDER BY TABLE_NAME")
declare -A MYDB_AT_BACKUP=()
while IFS= read -r table; do
  [[ -n "$table" ]] || continue
  MYDB_AT_BACKUP["$table"]=$(sql1 -N -B -e "CHECKSUM TABLE $table" | cut -f2)
done <<<"$MYDB_TABLES"

step "back up the whole server"
t=$(now)
"$XB" backup --defaults-file "$S1/my.cnf" --output-dir "$BACKUPS/full"
T_FULL=$(since "$t")
ls -l "$BACKUPS/full"
echo "binary-log coordinates of the backup:"
"$XB" binlog-info "$BACKUPS/full" --json

step "verify the whole-server backup: restore it on a throwaway server, CHECK TABLE every table"
t=$(now)
if ! "$XB" verify "$BACKUPS/full" >"$BACKUPS/verify.out"; then
  cat "$BACKUPS/verify.out"
  die "verify found a problem in the whole-server backup"
fi
grep -E '^[A-Z]+ +my-db\.' "$BACKUPS/verify.out" || true
echo "... ($(grep -c '^OK ' "$BACKUPS/verify.out") tables OK in all)"
grep '^verdict' "$BACKUPS/verify.out"
echo "verified in $(since "$t"); recorded in $BACKUPS/full/verify.json"

step "restore the whole server into $RESTORED"
t=$(now)
"$XB" restore --full --from "$BACKUPS/full" --target-datadir "$RESTORED"
T_RESTORE=$(since "$t")

step "start a second server on the restored data directory"
cat >"$S2/my.cnf" <<EOF
[client]
socket=$S2/mysql.sock
user=root

[mysqld]
datadir=$RESTORED
socket=$S2/mysql.sock
pid-file=$S2/mariadbd.pid
log-error=$S2/error.log
skip-networking
server-id=2
innodb_buffer_pool_size=64M
EOF
t=$(now)
setsid "$MARIADBD" --defaults-file="$S2/my.cnf" --user=mysql </dev/null >"$S2/mariadbd.out" 2>&1 &
for _ in $(seq 1 600); do
  mariadb-admin --defaults-file="$S2/my.cnf" --connect-timeout=2 ping >/dev/null 2>&1 && break
  sleep 0.1
done
if ! mariadb-admin --defaults-file="$S2/my.cnf" --connect-timeout=2 ping >/dev/null 2>&1; then
  tail -n 30 "$S2/error.log" "$S2/mariadbd.out" >&2 || true
  die "the second server did not start on the restored data directory"
fi
echo "second server up in $(since "$t") ($(sql2 -N -B -e 'SELECT VERSION()'))"

step "compare CHECKSUM TABLE of every table"
# Every user table of the original server, as `db`.`table` with ` doubled.
TABLES=$(sql1 -N -B -e "
  SELECT CONCAT('\`', REPLACE(TABLE_SCHEMA, '\`', '\`\`'), '\`.\`',
                REPLACE(TABLE_NAME, '\`', '\`\`'), '\`')
  FROM information_schema.TABLES
  WHERE TABLE_TYPE = 'BASE TABLE'
    AND TABLE_SCHEMA NOT IN ('mysql', 'information_schema', 'performance_schema', 'sys')
  ORDER BY TABLE_SCHEMA, TABLE_NAME")
total=0 equal=0 different=0
while IFS= read -r table; do
  [[ -n "$table" ]] || continue
  total=$((total + 1))
  a=$(sql1 -N -B -e "CHECKSUM TABLE $table" | cut -f2)
  b=$(sql2 -N -B -e "CHECKSUM TABLE $table" 2>&1 | cut -f2)
  if [[ -n "$a" && "$a" == "$b" ]]; then
    equal=$((equal + 1))
    printf '  equal      %-32s %s\n' "$table" "$a"
  else
    different=$((different + 1))
    printf '  DIFFERENT  %-32s %s != %s\n' "$table" "$a" "$b"
  fi
done <<<"$TABLES"

step "restore the one-database backup of my-db into the running first server"
echo "changing rows and dropping a table in my-db first:"
sql1 -v <<'SQL'
SET foreign_key_checks = 0;
USE `my-db`;
UPDATE `t é-1` SET label = 'changed' WHERE id <= 1000;
DELETE FROM books WHERE id % 3 = 0;
DROP TABLE authors;
DROP TABLE reviews;
DELETE FROM shelves WHERE floor = 3;
DELETE FROM loans WHERE id > 4000;
SQL
echo "the plan of a restore beside the live database (--dry-run changes nothing):"
"$XB" restore --database my-db --as my-db_restored --from "$BACKUPS/my-db" \
  --defaults-file "$S1/my.cnf" --dry-run
t=$(now)
"$XB" restore --database my-db --as my-db_restored --from "$BACKUPS/my-db" \
  --defaults-file "$S1/my.cnf"
T_ASRESTORE=$(since "$t")
echo "checksums: the live (changed) my-db, and my-db_restored (the backup):"
printf '  %-34s %-12s %-12s\n' "table" "live my-db" "restored"
as_total=0 as_equal=0
while IFS= read -r table; do
  [[ -n "$table" ]] || continue
  as_total=$((as_total + 1))
  name=${table#\`my-db\`.}
  live=$(sql1 -N -B -e "CHECKSUM TABLE $table" 2>/dev/null | cut -f2)
  restored=$(sql1 -N -B -e "CHECKSUM TABLE \`my-db_restored\`.$name" 2>&1 | cut -f2)
  [[ -n "$live" && "$live" != NULL ]] || live="(dropped)"
  if [[ "$restored" == "${MYDB_AT_BACKUP["$table"]}" ]]; then
    as_equal=$((as_equal + 1))
  else
    different=$((different + 1))
    restored="$restored DIFFERENT from ${MYDB_AT_BACKUP["$table"]}"
  fi
  printf '  %-34s %-12s %s\n' "$name" "$live" "$restored"
done <<<"$MYDB_TABLES"
sql1 -e 'SET foreign_key_checks = 0; DROP DATABASE `my-db_restored`'
echo "without --replace the restore refuses to touch the existing database:"
if "$XB" restore --database my-db --from "$BACKUPS/my-db" --defaults-file "$S1/my.cnf"; then
  die "restore --database without --replace changed an existing database"
fi
t=$(now)
"$XB" restore --database my-db --from "$BACKUPS/my-db" --defaults-file "$S1/my.cnf" --replace
T_DBRESTORE=$(since "$t")
db_total=0 db_equal=0
while IFS= read -r table; do
  [[ -n "$table" ]] || continue
  db_total=$((db_total + 1))
  a=${MYDB_AT_BACKUP["$table"]}
  b=$(sql1 -N -B -e "CHECKSUM TABLE $table" 2>&1 | cut -f2)
  if [[ -n "$a" && "$a" == "$b" ]]; then
    db_equal=$((db_equal + 1))
    printf '  equal      %-32s %s\n' "$table" "$b"
  else
    different=$((different + 1))
    printf '  DIFFERENT  %-32s %s at backup time, now %s\n' "$table" "$a" "$b"
  fi
done <<<"$MYDB_TABLES"
echo "FULLTEXT search after the restore: $(sql1 -N -B -e \
  "SELECT COUNT(*) FROM \`my-db\`.reviews WHERE MATCH (body) AGAINST ('dull')") reviews match 'dull'"

step "point in time: archive the binary logs, bring one database back to a moment beside the live one"
t=$(now)
sql1 -e 'CREATE DATABASE pitr_shop; CREATE TABLE pitr_shop.orders (id INT PRIMARY KEY, item VARCHAR(20)) ENGINE=InnoDB'
sql1 -D pitr_shop -e "INSERT INTO orders SELECT seq, 'first' FROM seq_1_to_100"
"$XB" backup -q --defaults-file "$S1/my.cnf" --database pitr_shop --output-dir "$BACKUPS/pitr_shop"
sql1 -D pitr_shop -e "INSERT INTO orders SELECT seq, 'second' FROM seq_101_to_200"
sleep 1.1
UNTIL=$(date '+%Y-%m-%d %H:%M:%S')
SHOP_AT_UNTIL=$(sql1 -N -B -e 'CHECKSUM TABLE pitr_shop.orders' | cut -f2)
sleep 1.1
echo "at $UNTIL pitr_shop.orders has $(sql1 -N -B -e 'SELECT COUNT(*) FROM pitr_shop.orders') rows; then a mistake deletes most of them"
sql1 -D pitr_shop -e "DELETE FROM orders WHERE id > 10"
"$XB" binlog-archive -q --defaults-file "$S1/my.cnf" --to "$BACKUPS/binlogs" --once
echo "archived: $(ls "$BACKUPS/binlogs" | grep -c -v index.json) binary-log file(s), index $BACKUPS/binlogs/index.json"
"$XB" restore -q --database pitr_shop --as pitr_shop_then --from "$BACKUPS/pitr_shop" --defaults-file "$S1/my.cnf" \
  --binlogs "$BACKUPS/binlogs" --until "$UNTIL"
T_PITR=$(since "$t")
SHOP_THEN=$(sql1 -N -B -e 'CHECKSUM TABLE pitr_shop_then.orders' | cut -f2)
echo "live pitr_shop.orders: $(sql1 -N -B -e 'SELECT COUNT(*) FROM pitr_shop.orders') rows;" \
  "pitr_shop_then.orders: $(sql1 -N -B -e 'SELECT COUNT(*) FROM pitr_shop_then.orders') rows," \
  "checksum $SHOP_THEN (at $UNTIL: $SHOP_AT_UNTIL)"
[[ "$SHOP_THEN" == "$SHOP_AT_UNTIL" ]] || different=$((different + 1))

step "summary"
printf '  tables compared     %d: %d equal, %d different\n' "$total" "$equal" "$different"
printf '  one-database backup %-8s in %s (%s)\n' "$(size_of "$BACKUPS/my-db")" "$T_DB" "my-db"
printf '  whole-server backup %-8s in %s\n' "$(size_of "$BACKUPS/full")" "$T_FULL"
printf '  restore             %-8s in %s (verify, extract, prepare)\n' \
  "$(size_of "$RESTORED")" "$T_RESTORE"
printf '  database restore    my-db as my-db_restored beside it in %s: %d of %d tables equal to backup time\n' \
  "$T_ASRESTORE" "$as_equal" "$as_total"
printf '  database restore    my-db into the live server in %s: %d of %d tables equal to backup time\n' \
  "$T_DBRESTORE" "$db_equal" "$db_total"
printf '  point in time       pitr_shop as of %s beside the live one in %s (backup, archive, restore, replay)\n' \
  "$UNTIL" "$T_PITR"
printf '  sample data         created in %s; whole demo %s\n' "$T_DATA" "$(since "$T_START")"

if ((different > 0 || total == 0 || db_total == 0 || as_total == 0)); then
  echo "demo: FAILED: a restored table differs from the backed-up one" >&2
  exit 1
fi
echo "demo: OK: the restored server and the restored database match the originals"
