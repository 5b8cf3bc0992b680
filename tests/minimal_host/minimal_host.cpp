// A host that knows only the public header: it defines the log writer handle,
// builds the object both ways and initializes it.
#include <cstdio>

#include <XtraBackup/XtraBackupUtil.h>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

int main() {
  XtraBackup::XtraBackupUtil plain;
  if (plain.initialize().IsError()) return 1;

  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::mysqlDetails details;
  details.sDefaultsFile = "/etc/mysql/my.cnf";
  XtraBackup::XtraBackupUtil full(false, details, &child, "/usr/bin");
  full.bFullServerXtrabackup = true;
  if (full.initialize().IsError() || full.initialize().IsError()) return 1;

  std::puts("minimal host: constructed both ways, initialize succeeded");
  return 0;
}
