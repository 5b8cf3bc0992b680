#include "Args.h"

#include <cstdio>

#include <CLI/CLI.hpp>

#include "Common.h"
#include "Log.h"

namespace xbagent {

namespace {

bool AsksForHelp(const std::vector<std::string>& argv) {
  for (const std::string& arg : argv) {
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

// The option an error is about: CLI11 starts its messages with "NAME: ".
std::string OptionIn(const std::string& message) {
  size_t colon = message.find(':');
  return colon == std::string::npos ? message : message.substr(0, colon);
}

Verbosity LevelOf(int verbose, bool quiet) {
  if (quiet) return Verbosity::kQuiet;
  if (verbose >= 3) return Verbosity::kTrace;
  if (verbose == 2) return Verbosity::kDebug;
  if (verbose == 1) return Verbosity::kVerbose;
  return Verbosity::kNormal;
}

}  // namespace

Args::Args(const std::string& usage, const std::vector<OptionDef>& options,
           const std::vector<std::string>& argv) {
  if (AsksForHelp(argv)) {
    std::fputs(usage.c_str(), stdout);
    std::fflush(stdout);
    throw Failure(kExitOk, "");
  }
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  int verbose = 0;
  bool quiet = false;
  std::string logFile;
  app.add_flag("-v,--verbose", verbose);
  app.add_flag("-q,--quiet", quiet);
  app.add_option("--log", logFile)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::map<std::string, CLI::Option*> declared;
  for (const OptionDef& option : options) {
    std::string& value = values_[option.name];
    declared[option.name] =
        option.takesValue
            ? app.add_option(option.name, value)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
            : app.add_flag(option.name);
  }
  app.add_option("arguments", positional_);
  for (const std::string& arg : argv) {
    if (arg == "--") break;
    for (const OptionDef& option : options) {
      if (!option.takesValue && arg.rfind(std::string(option.name) + "=", 0) == 0) {
        UsageFail("option " + std::string(option.name) + " takes no value");
      }
    }
  }
  std::vector<std::string> reversed(argv.rbegin(), argv.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& error) {
    UsageFail("option " + OptionIn(error.what()) + " needs a value");
  } catch (const CLI::ParseError& error) {
    UsageFail(error.what());
  }
  bool optionsEnded = false;
  for (const std::string& extra : app.remaining()) {
    if (extra == "--" && !optionsEnded) {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && extra.size() > 1 && extra[0] == '-') {
      UsageFail("unknown option " + extra.substr(0, extra.find('=')) + " (see --help)");
    }
    positional_.push_back(extra);
  }
  for (const auto& entry : declared) {
    if (entry.second->count() > 1) UsageFail("option " + entry.first + " given more than once");
    if (entry.second->count() == 0) values_.erase(entry.first);
  }
  if (quiet && verbose > 0) UsageFail("-q and -v exclude each other");
  Log().Configure(LevelOf(verbose, quiet), logFile);
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

}  // namespace xbagent
