// xbagent binlog-info DIR: the binary-log coordinates recorded in a backup
// directory, an extracted backup or a restored data directory.

#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "JsonDoc.h"
#include "Manifest.h"

namespace xbagent {

int RunBinlogInfo(const ArgList& argv) {
  CommandLine cli("binlog-info",
                  "Prints the binary-log file number and position at which a backup was taken, "
                  "from DIR/xtrabackup_binlog_info: file_number=N and position=P, one per line.");
  std::string dir;
  bool json = false;
  cli->add_option("DIR", dir,
                  "a backup directory, an extracted backup or a restored data directory")
      ->required();
  cli->add_flag("--json", json,
                "print {\"file_number\": N, \"position\": P, \"file\": NAME, \"gtid\": ...}");
  cli.Parse(argv);
  if (!IsDirectory(dir)) Fail(dir + " is not a directory");
  const std::string infoPath = JoinPath(dir, kBinlogInfoFile);
  if (!PathExists(infoPath)) {
    Fail("no binary-log coordinates in " + dir + " (no " + kBinlogInfoFile +
         ": binary logging was off during the backup, or this is not a backup)");
  }

  XtraBackup::XtraBackupUtil util;
  long fileNumber = 0;
  long position = 0;
  CKaError status = util.populateLogData(&fileNumber, &position, dir);
  if (status.IsError()) {
    Fail("cannot read the binary-log coordinates in " + infoPath + ": " + status.AsString());
  }
  if (!json) {
    std::printf("file_number=%ld\nposition=%ld\n", fileNumber, position);
    return kExitOk;
  }

  // The file name and GTID position, for the JSON form.
  std::string text = ReadSmallFile(infoPath, 64 * 1024);
  std::string file = text.substr(0, text.find_first_of("\t\n"));
  std::string gtid;
  size_t firstTab = text.find('\t');
  size_t secondTab = firstTab == std::string::npos ? firstTab : text.find('\t', firstTab + 1);
  if (secondTab != std::string::npos) gtid = Trim(text.substr(secondTab + 1));
  Json out = {{"file_number", fileNumber},
              {"position", position},
              {"file", file},
              {"gtid", gtid.empty() ? Json() : Json(gtid)}};
  std::fputs(JsonText(out).c_str(), stdout);
  return kExitOk;
}

}  // namespace xbagent
