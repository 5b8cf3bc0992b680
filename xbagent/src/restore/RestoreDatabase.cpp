// xbagent restore --database NAME: restores one database of a one-database
// backup into a running server. The restore builds every table in a shadow
// database and swaps them in only when all of them imported and checked
// (see Plan.h for the phases).

#include <cstdio>

#include "../Commands.h"
#include "../Common.h"
#include "../JsonDoc.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {

namespace {

using namespace restore;

std::string NothingChanged(const std::string& message) {
  if (message.find("nothing was changed") != std::string::npos ||
      message.find("could not be recreated") != std::string::npos) {
    return message;
  }
  return message + "; nothing was changed";
}

void PrintJson(const Plan& plan, double started, const Json& replay) {
  Json binlog;
  if (plan.haveBinlog) binlog = {{"file_number", plan.fileNumber}, {"position", plan.position}};
  Json out = {{"kind", "database"},
              {"database", plan.options.database},
              {"target", plan.options.target},
              {"tables", plan.tables.size()},
              {"bytes", plan.bytes},
              {"seconds", MonotonicSeconds() - started},
              {"binlog", binlog}};
  if (!replay.is_null()) out["replay"] = replay;
  std::fputs(JsonText(out).c_str(), stdout);
  std::fflush(stdout);
}

void Summarise(const Plan& plan, double started, const Json& replay) {
  if (plan.options.json) {
    PrintJson(plan, started, replay);
  } else if (plan.haveBinlog) {
    std::printf("file_number=%ld\nposition=%ld\n", plan.fileNumber, plan.position);
    std::fflush(stdout);
  }
  std::string kinds;
  for (const auto& kind : plan.byKind) {
    if (!kinds.empty()) kinds += ", ";
    kinds += std::to_string(kind.second) + " " + KindName(kind.first);
    if (kind.first == Kind::kPartitioned) {
      kinds += " (" + std::to_string(plan.partitions) + " partitions)";
    }
  }
  auto phase = [&](const char* name) {
    auto it = plan.seconds.find(name);
    return std::string(name) + " " + HumanSeconds(it == plan.seconds.end() ? 0 : it->second);
  };
  Log().Notice("xbagent: restored database '" + plan.options.database + "'" +
               (plan.options.renamed ? " as '" + plan.options.target + "'" : std::string()) +
               ": " + std::to_string(plan.tables.size()) + " tables" +
               (kinds.empty() ? std::string() : " (" + kinds + ")") + ", " +
               HumanBytes(plan.bytes) + " restored in " + HumanSeconds(MonotonicSeconds() - started) +
               " (" + phase("extract") + ", " + phase("prepare") + ", " + phase("schema") + ", " +
               phase("tables") + ", " + phase("checkpoint") + ")");
  if (plan.haveBinlog) {
    Log().Notice("xbagent: binary-log coordinates of the backup: file number " +
                 std::to_string(plan.fileNumber) + ", position " + std::to_string(plan.position));
  }
}

// The restored database is as of the backup; its events from there up to
// the target follow.
Json ReplayAfterRestore(const Plan& plan, const ReplayPlan& replay) {
  ReplayResult result;
  try {
    result = ReplayDatabase(replay, plan.options.defaultsFile, plan.options.database,
                            plan.options.renamed ? plan.options.target : std::string());
  } catch (const Failure& failure) {
    Fail(std::string(failure.what()) + "; '" + plan.options.target +
         "' is restored as of the backup, with the archived events up to the failure at most; "
         "restore it again (--replace) with an earlier target or a whole-server restore");
  }
  if (!plan.options.json) PrintReplayResult(result);
  Log().Notice("xbagent: replayed " + std::to_string(result.transactions) + " transaction(s) into '" +
               plan.options.target + "'; the last: GTID " +
               (result.lastGtid.empty() ? std::string("(none)") : result.lastGtid) + " at " +
               (result.lastTime.empty() ? std::string("-") : result.lastTime));
  return ReplayResultJson(result);
}

}  // namespace

int RunRestoreDatabase(const ArgList& argv) {
  Plan plan;
  plan.options = ParseOptions(argv);
  const double started = MonotonicSeconds();
  CheckInput(plan);
  // A gap in the archive, or events it cannot filter exactly, refuse the
  // restore before anything is changed.
  ReplayPlan replay;
  if (plan.options.pointInTime.Wanted()) {
    replay = PrepareReplay(plan.options.pointInTime, plan.manifest.document);
    CheckDatabaseReplay(replay, plan.options.defaultsFile, plan.options.database,
                        plan.options.renamed ? plan.options.target : std::string());
  }
  if (plan.options.dryRun) {
    PrintDryRun(plan);
    return kExitOk;
  }
  try {
    ExtractPrepare(plan);
    BuildShadow(plan);
    CheckShadow(plan);
    Swap(plan);
  } catch (const Failure& failure) {
    if (failure.code() != kExitFailure) throw;
    CleanUpAfterFailure(plan);
    // From the swap's journal on, its message says what the target is.
    Fail(plan.journalled ? std::string(failure.what()) : NothingChanged(failure.what()));
  }
  Finish(plan);
  Json replayed;
  if (plan.options.pointInTime.Wanted()) replayed = ReplayAfterRestore(plan, replay);
  Summarise(plan, started, replayed);
  return kExitOk;
}

}  // namespace xbagent
