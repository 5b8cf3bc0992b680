// The replay: mariadb-binlog decodes the archived files from the backup's
// position up to the target; its output passes through xbagent, which notes
// the last transaction, into a client.

#include <cstdio>

#include "../Common.h"
#include "../Fs.h"
#include "PointInTime.h"

namespace xbagent {

ReplayResult ReplayEvents(const ReplayPlan& plan, const std::vector<std::string>& extraOptions,
                          const std::vector<std::string>& client, const std::string& errorFile) {
  std::vector<std::string> decoder = {BinlogProgram(), "--no-defaults"};
  decoder.insert(decoder.end(), plan.decoderOptions.begin(), plan.decoderOptions.end());
  decoder.insert(decoder.end(), extraOptions.begin(), extraOptions.end());
  for (const ArchivedFile& file : plan.files) decoder.push_back(JoinPath(plan.archiveDir, file.file));
  ReplayResult result;
  std::string why;
  bool ok = RunThrough(decoder, client, errorFile,
                       [&result](const std::string& line) {
                         EventHeader header;
                         if (!ParseEventHeader(line, &header) || header.gtid.empty()) return;
                         result.lastGtid = header.gtid;
                         result.lastTime = header.time;
                         ++result.transactions;
                       },
                       &why);
  if (!ok) Fail("replaying the archived binary logs failed: " + why);
  return result;
}

void PrintReplayResult(const ReplayResult& result) {
  std::printf("last_gtid=%s\nlast_time=%s\n", result.lastGtid.c_str(), result.lastTime.c_str());
  std::fflush(stdout);
}

Json ReplayResultJson(const ReplayResult& result) {
  return {{"last_gtid", result.lastGtid}, {"last_time", result.lastTime},
          {"transactions", result.transactions}};
}

}  // namespace xbagent
