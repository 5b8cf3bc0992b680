// --dry-run: the plan on standard output; nothing changes.

#include <cstdio>

#include "../Common.h"
#include "../JsonDoc.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

// --dry-run --json: the same plan as one JSON object.
void PrintDryRunJson(const Plan& plan) {
  const Options& o = plan.options;
  Json tables = Json::array();
  for (const Table& table : plan.tables) {
    tables.push_back({{"name", table.name},
                      {"kind", KindName(table.kind)},
                      {"partitioned", table.partitioned},
                      {"steps", KindSteps(table.kind, table.partitioned)}});
  }
  Json keys = Json::array();
  for (const ForeignKey& key : plan.outsideKeys) {
    keys.push_back({{"database", key.schema}, {"table", key.table}, {"name", key.name},
                    {"references", key.refTable}});
  }
  bool enough = false;
  const std::string space = CheckSpace(plan, &enough);
  Json out = {{"dry_run", true},
              {"database", o.database},
              {"source", plan.source},
              {"target", o.target},
              {"target_exists", plan.targetExists},
              {"shadow", plan.shadow},
              {"holding", plan.holding},
              {"tables", tables},
              {"swapped_out", plan.swappedOut},
              {"outside_foreign_keys", keys},
              {"disk_space", space},
              {"enough_space", enough},
              {"replicas", plan.replicas.size()}};
  std::fputs(JsonText(out).c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

void PrintDryRun(const Plan& plan) {
  const Options& o = plan.options;
  if (o.json) return PrintDryRunJson(plan);
  std::string out;
  out += "restore of database '" + o.database + "' from " + plan.source +
         " (dry run: nothing changes)\n";
  out += "target: '" + o.target + "' (" + (plan.targetExists ? "exists" : "does not exist") +
         (o.renamed ? ", restored beside '" + o.database + "', which is not touched" : std::string()) +
         ")\n";
  out += "shadow database: '" + plan.shadow + "'\n";
  out += "tables (" + std::to_string(plan.tables.size()) + "):\n";
  for (const Table& table : plan.tables) {
    out += "  " + Quoted(table.name) + "  " + KindName(table.kind) +
           (table.partitioned && table.kind != Kind::kPartitioned ? " partitioned" : "") + ": " +
           KindSteps(table.kind, table.partitioned) + "\n";
  }
  if (o.tables.empty()) {
    out += "views " + std::to_string(plan.schema.Count(Object::kView)) + ", triggers " +
           std::to_string(plan.schema.Count(Object::kTrigger)) + ", routines " +
           std::to_string(plan.schema.Count(Object::kRoutine)) + ", events " +
           std::to_string(plan.schema.Count(Object::kEvent)) +
           ": tried in the shadow, created in the target after the swap\n";
  } else {
    out += "only the triggers of these tables are created; other objects stay as they are\n";
  }
  out += "checks: stream SHA-256 and size, schema SHA-256, every table file present after "
         "prepare, CHECK TABLE of every table, the table list against the manifest\n";
  out += "swap: one RENAME TABLE; moved out to '" + plan.holding + "' and dropped: " +
         (plan.swappedOut.empty() ? std::string("none") : JoinNames(plan.swappedOut, 20)) + "\n";
  for (const ForeignKey& key : plan.outsideKeys) {
    out += "foreign key " + Quoted(key.schema) + "." + Quoted(key.table) + " " + Quoted(key.name) +
           " is pointed at the restored " + Quoted(key.refTable) + "\n";
  }
  bool enough = false;
  std::string space = CheckSpace(plan, &enough);
  out += "disk space: " + space + (enough ? " (enough)\n" : " (NOT enough: the restore would refuse)\n");
  if (!plan.replicas.empty()) {
    out += "replicas attached: " + std::to_string(plan.replicas.size()) +
           " (nothing goes to the binary log: restore each replica on its own)\n";
  }
  std::fputs(out.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace restore
}  // namespace xbagent
