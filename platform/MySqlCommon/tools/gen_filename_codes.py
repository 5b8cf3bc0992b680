#!/usr/bin/env python3
"""Derives the server's on-disk name encoding from a live MariaDB/MySQL server
and writes it as C++ tables for getMySqlHexName.cpp.

The server stores a database directory or table file under its name in the
"filename" character set: [0-9A-Za-z_] unchanged, some letters as "@" and two
characters from a fixed table, everything else as "@" and four hex digits.
This script asks the server for the encoding of every code point, checks the
result against the names real CREATE DATABASE statements give on disk, finds
the names the server marks with a trailing "@@@" (device names), and emits:

  kBlocks / kCodes   the "@xy" table, as dense blocks of code points
  kReservedNames     the names that get "@@@" appended (case-insensitive)

Usage (as root or as a user that can run mariadbd; takes about a minute):

  platform/MySqlCommon/tools/gen_filename_codes.py [-o OUTPUT] [--sandbox-dir DIR]

OUTPUT defaults to ../src/FilenameCodes.inc next to this script. The script
starts its own throwaway server with tests/sandbox/mariadb-sandbox.sh in DIR
(default /tmp/xbgen-<pid>) and removes it at the end: the probes create a few
hundred thousand databases, so it never uses a server of anyone else.
"""

import argparse
import itertools
import os
import random
import string
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX_SCRIPT = os.path.normpath(
    os.path.join(HERE, "..", "..", "..", "tests", "sandbox", "mariadb-sandbox.sh"))
DEFAULT_OUTPUT = os.path.normpath(os.path.join(HERE, "..", "src", "FilenameCodes.inc"))

PLAIN = set(string.ascii_letters + string.digits + "_")
# Longest run of code points put into one probe name: each may take five bytes
# on disk and a file name is limited to 255 bytes.
CHUNK = 48
# Gaps shorter than this between coded code points stay inside one block.
BLOCK_GAP = 64


def log(msg):
    print("gen_filename_codes: " + msg, file=sys.stderr, flush=True)


class Server:
    def __init__(self, sandbox_dir):
        self.dir = sandbox_dir
        self.cnf = os.path.join(sandbox_dir, "my.cnf")
        self.datadir = os.path.join(sandbox_dir, "data")

    def start(self):
        subprocess.run([SANDBOX_SCRIPT, "start", self.dir], check=True,
                       stdin=subprocess.DEVNULL, stdout=sys.stderr)

    def stop(self):
        subprocess.run([SANDBOX_SCRIPT, "stop", self.dir], check=False,
                       stdin=subprocess.DEVNULL, stdout=sys.stderr)

    def sql(self, text, force=False):
        """Runs SQL through the mariadb client; returns (rows, stderr)."""
        cmd = ["mariadb", "--defaults-file=" + self.cnf, "-N", "-B",
               "--default-character-set=utf8mb4"]
        if force:
            cmd.append("--force")
        res = subprocess.run(cmd, input=text.encode(), capture_output=True)
        err = res.stderr.decode(errors="replace")
        if res.returncode != 0 and not force:
            raise RuntimeError("mariadb client failed: " + err[-2000:])
        rows = [line.split("\t") for line in res.stdout.decode().splitlines()]
        return rows, err


def utf8_hex(cp):
    return chr(cp).encode("utf-8", "surrogatepass").hex()


def sql_route(server, cps, batch=4096):
    """Encoded name of each code point, from CONVERT(... USING filename)."""
    out = {}
    queries = []
    for i in range(0, len(cps), batch):
        part = cps[i:i + batch]
        cols = ",".join(
            "HEX(CAST(CONVERT(_utf8mb4 X'%s' USING filename) AS BINARY))" % utf8_hex(cp)
            for cp in part)
        queries.append("SELECT " + cols + ";")
    rows, _ = server.sql("\n".join(queries) + "\n")
    if len(rows) != len(queries):
        raise RuntimeError("expected %d result rows, got %d" % (len(queries), len(rows)))
    for i, row in enumerate(rows):
        part = cps[i * batch:(i + 1) * batch]
        if len(row) != len(part):
            raise RuntimeError("row %d has %d columns, expected %d" % (i, len(row), len(part)))
        for cp, h in zip(part, row):
            out[cp] = bytes.fromhex(h).decode("latin-1")
    return out


def create_db_stmt(name):
    """A CREATE DATABASE for an arbitrary name, immune to client-side parsing."""
    return ("EXECUTE IMMEDIATE CONCAT('CREATE DATABASE `', REPLACE(CONVERT(X'%s' USING utf8mb4),"
            " '`', '``'), '`');" % name.encode("utf-8").hex())


def list_datadir(server):
    return set(os.listdir(server.datadir))


def classify(bmp):
    """Splits the server's answers into the three kinds of encoding."""
    codes = {}
    for cp, enc in sorted(bmp.items()):
        ch = chr(cp)
        if ch in PLAIN:
            if enc != ch:
                raise RuntimeError("U+%04X: expected unchanged, got %r" % (cp, enc))
        elif enc == "@%04x" % cp:
            pass
        elif len(enc) == 3 and enc[0] == "@" and all(c in PLAIN or c == "@" for c in enc[1:]):
            codes[cp] = enc[1:]
        elif cp == 0:
            # NUL passes through CONVERT unchanged, but no identifier can hold it.
            log("U+0000 converts to %r (not a valid identifier character)" % enc)
        else:
            raise RuntimeError("U+%04X: unexpected encoding %r" % (cp, enc))
    if len(set(codes.values())) != len(codes):
        raise RuntimeError("the @xy codes are not unique")
    return codes


def expected_name(codes, text):
    out = []
    for ch in text:
        cp = ord(ch)
        if ch in PLAIN:
            out.append(ch)
        elif cp in codes:
            out.append("@" + codes[cp])
        else:
            out.append("@%04x" % (cp & 0xFFFF))
    return "".join(out)


def check_with_create_database(server, codes):
    """Creates databases whose names hold every BMP code point (CHUNK per
    name) and compares the directories with the table."""
    cps = [cp for cp in range(1, 0x10000) if not 0xD800 <= cp <= 0xDFFF]
    names = []
    for i in range(0, len(cps), CHUNK):
        name = "".join(chr(cp) for cp in cps[i:i + CHUNK])
        if name.endswith(" "):  # a trailing space is not allowed in a name
            name += "x"
        names.append(name)
    before = list_datadir(server)
    _, err = server.sql("SET sql_log_bin=0;\n" + "\n".join(create_db_stmt(n) for n in names) + "\n",
                        force=True)
    created = list_datadir(server) - before
    expected = {expected_name(codes, n) for n in names}
    if err.strip():
        raise RuntimeError("CREATE DATABASE failed: " + err[-3000:])
    if created != expected:
        raise RuntimeError("directories differ from the table:\n  only on disk: %s\n  only expected: %s"
                           % (sorted(created - expected)[:5], sorted(expected - created)[:5]))
    log("CREATE DATABASE of %d names (%d code points) matches the table" % (len(names), len(cps)))


def check_supplementary(server):
    """What happens to characters outside the BMP."""
    sample = sorted(set(list(range(0x10000, 0x110000, 97)) +
                        [0x10000, 0x1F600, 0x1F4A9, 0x20000, 0xFFFFF, 0x10FFFF]))
    enc = sql_route(server, sample)
    for cp in sample:
        if enc[cp] != "@%04x" % (cp & 0xFFFF):
            raise RuntimeError("U+%X: CONVERT gives %r, not the low 16 bits" % (cp, enc[cp]))
    before = list_datadir(server)
    _, err = server.sql(create_db_stmt("sup\U0001F600") + "\n", force=True)
    rejected = list_datadir(server) == before and "Invalid utf8" in err
    log("supplementary characters: CONVERT writes '@' and the low 16 bits (%d checked); "
        "CREATE DATABASE %s them" % (len(sample), "rejects" if rejected else "ACCEPTS"))
    return rejected


def probe_reserved(server):
    """Names that the server stores with "@@@" appended."""
    alnum = string.ascii_uppercase + string.digits + "_"
    names = set()
    for n in (1, 2, 3):
        names.update("".join(t) for t in itertools.product(alnum, repeat=n))
    names.update("".join(t) + d for t in itertools.product(string.ascii_uppercase, repeat=3)
                 for d in string.digits)
    names.update(["CLOCK", "CONIN", "CONOUT", "KEYBD", "SCREEN", "CONFIG", "NULL", "COM10",
                  "LPT10", "CON1", "AUXX"])
    rnd = random.Random(1)
    for _ in range(5000):
        names.add("".join(rnd.choice(string.ascii_letters + string.digits + "_")
                          for _ in range(rnd.randint(5, 8))))
    names = sorted(names)
    log("probing %d names for device-name handling" % len(names))
    before = list_datadir(server)
    _, err = server.sql("SET sql_log_bin=0;\n" +
                        "\n".join("CREATE DATABASE `%s`;" % n for n in names) + "\n", force=True)
    if err.strip():
        raise RuntimeError("CREATE DATABASE failed: " + err[-3000:])
    created = list_datadir(server) - before
    reserved = sorted(d[:-3] for d in created if d.endswith("@@@"))
    plain = {d for d in created if not d.endswith("@@@")}
    if len(reserved) + len(plain) != len(names) or set(reserved) | plain != set(names):
        raise RuntimeError("unexpected directories in the device-name probe")

    # Every spelling in other letter case, and tables as well.
    variants = set()
    for r in reserved:
        for combo in itertools.product(*[(c.lower(), c) if c.isalpha() else (c,) for c in r]):
            variants.add("".join(combo))
    variants -= set(reserved)
    before = list_datadir(server)
    stmts = ["SET sql_log_bin=0;"] + ["CREATE DATABASE `%s`;" % v for v in sorted(variants)]
    stmts += ["CREATE DATABASE reserved_tables;"] + [
        "CREATE TABLE reserved_tables.`%s` (a INT) ENGINE=MyISAM;" % r for r in reserved]
    _, err = server.sql("\n".join(stmts) + "\n", force=True)
    if err.strip():
        raise RuntimeError("CREATE failed: " + err[-3000:])
    created = list_datadir(server) - before
    if created != {v + "@@@" for v in variants} | {"reserved_tables"}:
        raise RuntimeError("device names are not case-insensitive")
    files = set(os.listdir(os.path.join(server.datadir, "reserved_tables")))
    for r in reserved:
        if r + "@@@.frm" not in files:
            raise RuntimeError("table %s is not stored as %s@@@.frm" % (r, r))
    log("names stored with '@@@' (any letter case, databases and tables): " + " ".join(reserved))
    return reserved


def make_blocks(codes):
    blocks = []
    for cp in sorted(codes):
        if blocks and cp - blocks[-1][1] <= BLOCK_GAP:
            blocks[-1][1] = cp
        else:
            blocks.append([cp, cp])
    return blocks


def emit(codes, reserved, version, sup_rejected):
    blocks = make_blocks(codes)
    lines = []
    w = lines.append
    w("// Generated by platform/MySqlCommon/tools/gen_filename_codes.py from a live")
    w("// server (%s). Do not edit; to regenerate, run" % version)
    w("//   platform/MySqlCommon/tools/gen_filename_codes.py")
    w("// (needs mariadbd, mariadb-install-db and the mariadb client; about a minute).")
    w("//")
    w("// Code points with a three-character \"@xy\" code in the server's filename")
    w("// character set (%d of them), checked against the directories that CREATE" % len(codes))
    w("// DATABASE makes for every BMP code point. Supplementary characters: CONVERT")
    w("// writes \"@\" and the low 16 bits; CREATE DATABASE %s them." %
      ("rejects" if sup_rejected else "accepts"))
    w("")
    w("namespace filename_codes {")
    w("")
    w("struct Block {")
    w("  unsigned first;   // first code point of the block")
    w("  unsigned last;    // last code point, inclusive")
    w("  unsigned offset;  // index of the block's first pair in kCodes")
    w("};")
    w("")
    w("// Pairs of characters, one per code point of each block; \"--\" for a code")
    w("// point without a code.")
    w("constexpr Block kBlocks[] = {")
    offset = 0
    for first, last in blocks:
        w("    {0x%04X, 0x%04X, %d}," % (first, last, offset))
        offset += last - first + 1
    w("};")
    w("")
    w("constexpr char kCodes[] =")
    for first, last in blocks:
        pairs = [codes.get(cp, "--") for cp in range(first, last + 1)]
        for i in range(0, len(pairs), 32):
            w('    "%s"  // U+%04X' % ("".join(pairs[i:i + 32]), first + i))
    w("    ;")
    w("")
    w("constexpr unsigned kCodeCount = %d;" % offset)
    w("")
    w("// Names stored with \"@@@\" appended, compared without regard to letter case.")
    w("constexpr const char* kReservedNames[] = {")
    for i in range(0, len(reserved), 8):
        w("    " + " ".join('"%s",' % r for r in reserved[i:i + 8]))
    w("};")
    w("")
    w("}  // namespace filename_codes")
    return "\n".join(lines) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("-o", "--output", default=DEFAULT_OUTPUT)
    ap.add_argument("--sandbox-dir", default="/tmp/xbgen-%d" % os.getpid())
    args = ap.parse_args()

    server = Server(os.path.abspath(args.sandbox_dir))
    server.start()
    try:
        version = server.sql("SELECT VERSION();")[0][0][0]
        bmp = sql_route(server, [cp for cp in range(0x10000) if not 0xD800 <= cp <= 0xDFFF])
        codes = classify(bmp)
        log("%s: %d code points with an @xy code" % (version, len(codes)))
        check_with_create_database(server, codes)
        sup_rejected = check_supplementary(server)
        reserved = probe_reserved(server)
        text = emit(codes, reserved, version, sup_rejected)
    finally:
        server.stop()

    with open(args.output, "w", encoding="ascii") as f:
        f.write(text)
    log("wrote " + os.path.relpath(args.output))


if __name__ == "__main__":
    main()
