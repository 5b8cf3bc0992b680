// Pure logic of the archive: mariadb-binlog's event headers, log names,
// GTIDs and the index document.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

#include "../Common.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

bool Digits(const std::string& text, size_t from, size_t count) {
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

std::string StringOr(const Json& object, const char* key) {
  std::string value;
  GetString(Member(object, key), &value);
  return value;
}

}  // namespace

bool ParseEventHeader(const std::string& line, EventHeader* header) {
  // "#YYMMDD HH:MM:SS server id N ..." with the hour padded by a space.
  if (line.size() < 17 || line[0] != '#' || !Digits(line, 1, 6)) return false;
  size_t pos = 7;
  while (pos < line.size() && line[pos] == ' ') ++pos;
  size_t colon = line.find(':', pos);
  if (colon == std::string::npos || colon - pos < 1 || colon - pos > 2 || !Digits(line, pos, colon - pos) ||
      !Digits(line, colon + 1, 2) || line.compare(colon + 3, 1, ":") != 0 || !Digits(line, colon + 4, 2)) {
    return false;
  }
  if (line.compare(colon + 6, 11, " server id ") != 0) return false;
  char text[32];
  std::snprintf(text, sizeof text, "20%.2s-%.2s-%.2s %02d:%.5s", line.c_str() + 1, line.c_str() + 3,
                line.c_str() + 5, std::stoi(line.substr(pos, colon - pos)), line.c_str() + colon + 1);
  header->time = text;
  header->gtid.clear();
  size_t mark = line.find("\tGTID ");
  if (mark != std::string::npos) {
    size_t start = mark + 6;
    size_t end = line.find(' ', start);
    std::string gtid = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    Gtid parsed;
    if (ParseGtid(gtid, &parsed)) header->gtid = gtid;
  }
  return true;
}

bool ParseGtid(const std::string& text, Gtid* gtid) {
  size_t first = text.find('-');
  size_t second = first == std::string::npos ? first : text.find('-', first + 1);
  if (second == std::string::npos) return false;
  return ParseUnsigned(text.substr(0, first), &gtid->domain) &&
         ParseUnsigned(text.substr(first + 1, second - first - 1), &gtid->server) &&
         ParseUnsigned(text.substr(second + 1), &gtid->seq);
}

bool SplitLogName(const std::string& name, std::string* base, uint64_t* number) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot < 2) return false;
  if (name.find('/') != std::string::npos) return false;
  if (!Digits(name, dot + 1, name.size() - dot - 1)) return false;
  *base = name.substr(0, dot);
  return ParseUnsigned(name.substr(dot + 1), number);
}

const ArchivedFile* ArchiveIndex::Find(const std::string& file) const {
  for (const ArchivedFile& entry : files) {
    if (entry.file == file) return &entry;
  }
  return nullptr;
}

ArchivedFile* ArchiveIndex::Find(const std::string& file) {
  for (ArchivedFile& entry : files) {
    if (entry.file == file) return &entry;
  }
  return nullptr;
}

void ArchiveIndex::Put(const ArchivedFile& entry) {
  if (ArchivedFile* existing = Find(entry.file)) {
    *existing = entry;
    return;
  }
  files.push_back(entry);
  std::sort(files.begin(), files.end(), [](const ArchivedFile& a, const ArchivedFile& b) {
    std::string baseA, baseB;
    uint64_t numberA = 0, numberB = 0;
    SplitLogName(a.file, &baseA, &numberA);
    SplitLogName(b.file, &baseB, &numberB);
    return baseA != baseB ? baseA < baseB : numberA < numberB;
  });
}

Json IndexToJson(const ArchiveIndex& index) {
  Json files = Json::array();
  for (const ArchivedFile& entry : index.files) {
    files.push_back({{"file", entry.file},
                     {"size", entry.size},
                     {"sha256", entry.sha256},
                     {"first_time", entry.firstTime},
                     {"last_time", entry.lastTime},
                     {"first_gtid", entry.firstGtid},
                     {"last_gtid", entry.lastGtid},
                     {"closed", entry.closed},
                     {"checked", entry.checked}});
  }
  return {{"format", kArchiveFormat}, {"version", 1}, {"covered_until", index.coveredUntil},
          {"files", files}};
}

ArchiveIndex IndexFromJson(const Json& document) {
  std::string format = StringOr(document, "format");
  if (format != kArchiveFormat) Fail("not a binary-log archive index (format '" + format + "')");
  ArchiveIndex index;
  index.coveredUntil = StringOr(document, "covered_until");
  const Json& files = Member(document, "files");
  if (!files.is_array()) Fail("the archive index has no file list");
  for (const Json& item : files) {
    ArchivedFile entry;
    entry.file = StringOr(item, "file");
    std::string base;
    uint64_t number = 0;
    if (!SplitLogName(entry.file, &base, &number)) {
      Fail("the archive index names '" + entry.file + "', which is not a binary-log file name");
    }
    GetUnsigned(Member(item, "size"), &entry.size);
    entry.sha256 = StringOr(item, "sha256");
    entry.firstTime = StringOr(item, "first_time");
    entry.lastTime = StringOr(item, "last_time");
    entry.firstGtid = StringOr(item, "first_gtid");
    entry.lastGtid = StringOr(item, "last_gtid");
    GetBool(Member(item, "closed"), &entry.closed);
    entry.checked = StringOr(item, "checked");
    index.Put(entry);
  }
  return index;
}

std::string LocalTimestamp() {
  std::time_t now = std::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace xbagent
