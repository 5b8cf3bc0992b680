#include "Args.h"

#include <cstdio>

#include "Common.h"
#include "Log.h"

namespace xbagent {

Args::Args(const std::string& usage, const std::vector<OptionDef>& options,
           const std::vector<std::string>& argv) {
  int verbose = 0;
  bool quiet = false;
  std::string logFile;
  bool optionsEnded = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage.c_str(), stdout);
      std::fflush(stdout);
      throw Failure(kExitOk, "");
    }
    if (arg == "-q" || arg == "--quiet") {
      quiet = true;
      continue;
    }
    if (arg == "--verbose") {
      ++verbose;
      continue;
    }
    if (arg[1] == 'v' && arg.find_first_not_of('v', 1) == std::string::npos) {
      verbose += static_cast<int>(arg.size() - 1);
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasInlineValue = false;
    size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
      hasInlineValue = true;
    }
    bool takesValue = false;
    bool known = name == "--log";
    if (known) takesValue = true;
    for (const OptionDef& option : options) {
      if (name == option.name) {
        known = true;
        takesValue = option.takesValue;
      }
    }
    if (!known) UsageFail("unknown option " + name + " (see --help)");
    if (takesValue && !hasInlineValue) {
      if (i + 1 >= argv.size()) UsageFail("option " + name + " needs a value");
      value = argv[++i];
    } else if (!takesValue && hasInlineValue) {
      UsageFail("option " + name + " takes no value");
    }
    if (name == "--log") {
      logFile = value;
      continue;
    }
    if (values_.count(name) != 0) UsageFail("option " + name + " given more than once");
    values_[name] = value;
  }
  if (quiet && verbose > 0) UsageFail("-q and -v exclude each other");
  Verbosity level = Verbosity::kNormal;
  if (quiet) {
    level = Verbosity::kQuiet;
  } else if (verbose >= 3) {
    level = Verbosity::kTrace;
  } else if (verbose == 2) {
    level = Verbosity::kDebug;
  } else if (verbose == 1) {
    level = Verbosity::kVerbose;
  }
  Log().Configure(level, logFile);
}

std::string Args::Value(const std::string& name, const std::string& fallback) const {
  auto it = values_.find(name);
  return it == values_.end() ? fallback : it->second;
}

}  // namespace xbagent
