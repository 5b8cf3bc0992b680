#include <climits>
#include <cstring>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/CKaFile.h>
#include <KaUtils/CKaPath.h>
#include <KaUtils/FXString.h>

#include "OperationLog.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::populateLogData(long int*, long int*, std::string)");

constexpr unsigned int kMaxFileBytes = 2046;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Decimal text read the way atoi reads it (leading blanks, an optional sign,
// digits up to the first other character, 0 without digits) but into a long:
// binary-log positions pass 2^31. Values beyond a long saturate.
long ParseDecimal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  unsigned long magnitude = 0;
  const unsigned long limit = negative ? static_cast<unsigned long>(LONG_MAX) + 1ul
                                       : static_cast<unsigned long>(LONG_MAX);
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    unsigned long digit = static_cast<unsigned long>(text[i] - '0');
    magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
  }
  if (!negative) return static_cast<long>(magnitude);
  return magnitude == limit ? LONG_MIN : -static_cast<long>(magnitude);
}

}  // namespace

CKaError XtraBackupUtil::populateLogData(long* pBinLogFileNumber, long* pBinLogPosition,
                                         std::string sStagingDir) {
  if (sStagingDir.empty()) {
    XB_LOG(kLog, 0, "staging directory is empty");
    return XB_FAIL(kLog, "XtraBackupUtil::populateLogData failed");
  }

  std::string sPath = CKaPath::Append(sStagingDir.c_str(), "xtrabackup_binlog_info");
  XB_LOG(kLog, 2, "The binLogfile is [%s]", sPath.c_str());

  CKaFile file;
  if (file.Open(sPath.c_str(), 0, 256).IsError()) {
    XB_LOG(kLog, 0, "Failed to open the file [%s]", sPath.c_str());
    return XB_FAIL(kLog, " XtraBackupUtil::populateLogData failed");
  }
  std::vector<char> buffer(kMaxFileBytes + 1, '\0');
  unsigned int nRead = 0;
  if (file.Read(buffer.data(), kMaxFileBytes, &nRead).IsError()) {
    XB_LOG(kLog, 0, "Failed to read the file [%s]", sPath.c_str());
    return XB_FAIL(kLog, " XtraBackupUtil::populateLogData failed");
  }
  buffer[nRead <= kMaxFileBytes ? nRead : kMaxFileBytes] = '\0';
  std::string sText(buffer.data());
  XB_LOG(kLog, 2, "The binary log file data is [%s]", sText.c_str());

  std::vector<std::string> fields;
  std::vector<std::string> pieces;
  FXString::Split(sText, "\t", fields, 0);
  if (!fields.empty()) FXString::Split(fields[0], ".", pieces, 0);
  // A name and a position are both needed; nothing is made up when the file
  // holds less.
  if (fields.size() < 2 || pieces.size() < 2) {
    XB_LOG(kLog, 0, "Failed to find a file name and position in [%s]", sPath.c_str());
    return XB_FAIL(kLog, " XtraBackupUtil::populateLogData failed");
  }

  XB_LOG(kLog, 2, "The binary log file data is [%s]", sText.c_str());
  XB_LOG(kLog, 2, "The binary log data is [%s] [%s]", fields[0].c_str(), fields[1].c_str());
  XB_LOG(kLog, 2, "The binary log data is [%s]", pieces[1].c_str());

  *pBinLogFileNumber = ParseDecimal(pieces[1]);
  *pBinLogPosition = ParseDecimal(fields[1]);
  XB_LOG(kLog, 2, "The binary log data is  number wise [%ld] [%ld]", *pBinLogFileNumber,
         *pBinLogPosition);
  return CKaError::Success();
}

}  // namespace XtraBackup
