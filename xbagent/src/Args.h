#pragma once

// Command-line parsing for the subcommands, on CLI11: "--name value", "--name=value",
// flags, positional arguments, and the options every subcommand takes
// (-v/-vv/-vvv/--verbose, -q/--quiet, --log FILE, -h/--help). Parsing also
// sets up the log from those options.

#include <map>
#include <string>
#include <vector>

namespace xbagent {

struct OptionDef {
  const char* name;  // "--defaults-file"
  bool takesValue;
};

class Args {
 public:
  // Throws Failure(kExitUsage) on an unknown option, a missing value or a
  // repeated option; prints usage to standard output and throws
  // Failure(kExitOk) for --help.
  Args(const std::string& usage, const std::vector<OptionDef>& options,
       const std::vector<std::string>& argv);

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Value(const std::string& name, const std::string& fallback = "") const;
  const std::vector<std::string>& Positional() const { return positional_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

}  // namespace xbagent
