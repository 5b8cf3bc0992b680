// The prepared data against the backup's binary-log coordinates. The prepare
// writes xtrabackup_binlog_pos_innodb: the binary-log file and position
// InnoDB recorded with the last transaction it committed in the data (the
// end of that transaction's events). A replay starts at the backup's
// coordinates, so that position must not lie after them: the data would
// hold transactions the replay applies again.

#include <string>

#include "../Common.h"
#include "../Fs.h"
#include "PointInTime.h"

namespace xbagent {

namespace {

constexpr char kInnodbPositionFile[] = "xtrabackup_binlog_pos_innodb";

}  // namespace

bool ParseInnodbPosition(const std::string& text, std::string* file, uint64_t* position) {
  const size_t tab = text.find('\t');
  if (tab == std::string::npos || tab == 0) return false;
  const std::string number = Trim(text.substr(tab + 1));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
      number.size() > 19) {
    return false;
  }
  *file = BaseName(text.substr(0, tab));
  *position = std::stoull(number);
  std::string base;
  uint64_t fileNumber = 0;
  return SplitLogName(*file, &base, &fileNumber);
}

bool DataPastCoordinates(const std::string& dataFile, uint64_t dataPosition,
                         const BinlogCoordinates& from) {
  std::string dataBase, fromBase;
  uint64_t dataNumber = 0, fromNumber = 0;
  if (!SplitLogName(dataFile, &dataBase, &dataNumber) ||
      !SplitLogName(from.file, &fromBase, &fromNumber) || dataBase != fromBase) {
    return false;
  }
  return dataNumber > fromNumber || (dataNumber == fromNumber && dataPosition > from.position);
}

void CheckDataMatchesCoordinates(const std::string& preparedDir, const Json& manifest) {
  const std::string path = JoinPath(preparedDir, kInnodbPositionFile);
  if (!PathExists(path)) return;  // no InnoDB transaction was ever logged
  std::string file;
  uint64_t position = 0;
  if (!ParseInnodbPosition(ReadSmallFile(path, 4096), &file, &position)) {
    Fail(std::string("the prepared backup's ") + kInnodbPositionFile + " cannot be read; the "
         "binary-log position of its data is not known, so no point-in-time replay can start "
         "from it");
  }
  const BinlogCoordinates from = CoordinatesOfBackup(manifest);
  if (!DataPastCoordinates(file, position, from)) return;
  Fail("the backup's data holds transactions logged after its recorded binary-log coordinates "
       "(data up to " + file + ":" + std::to_string(position) + ", recorded " + from.file + ":" +
       std::to_string(from.position) + "): a replay from them would apply those transactions "
       "twice, so this backup cannot be used for a point-in-time restore");
}

}  // namespace xbagent
