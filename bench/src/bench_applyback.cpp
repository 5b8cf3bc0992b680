// applyBack of many small InnoDB tables from a staging tree into a data
// directory.
//   bench_applyback STAGING DATADIR DB TABLES
// STAGING/DB must hold tNNNN.ibd and tNNNN.cfg, DATADIR/DB and DATADIR/mysql
// must exist. Prints the seconds applyBack took.

#include <cstdio>
#include <cstdlib>

#include <XtraBackup/XtraBackupUtil.h>

#include "BenchHost.h"

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_applyback STAGING DATADIR DB TABLES\n");
    return 2;
  }
  int tables = std::atoi(argv[4]);
  XtraBackup::XtraMetaData metaData;
  for (int i = 0; i < tables; ++i) {
    XtraBackup::MySQLMetaData table;
    char name[32];
    std::snprintf(name, sizeof name, "t%04d", i);
    table.sTableName = name;
    table.sEngine = "InnoDB";
    metaData.tableList.push_back(table);
  }
  XtraBackup::XtraBackupUtil util;
  double start = bench::NowSeconds();
  CKaError result = util.applyBack(argv[3], argv[1], argv[2], metaData);
  double seconds = bench::NowSeconds() - start;
  if (result.IsError()) {
    std::fprintf(stderr, "bench_applyback: %s\n", result.AsString().c_str());
    return 1;
  }
  std::printf("tables=%d seconds=%.3f\n", tables, seconds);
  return 0;
}
