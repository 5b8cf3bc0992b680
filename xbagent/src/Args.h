#pragma once

// Command lines on CLI11. Each command declares on a CommandLine its options,
// their rules (required, needs, excludes, checks, positional arguments) and
// their help; the help page and its synopsis are generated from them. Every
// command also takes -v/-vv/-vvv/--verbose, -q/--quiet, --log FILE and
// -h/--help, which set up the log.

#include <map>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace xbagent {

class CommandLine {
 public:
  // name: "backup" or "restore --full"; summary: what the command does, in a
  // sentence or two; details: what the help says after the options.
  CommandLine(const std::string& name, const std::string& summary, const std::string& details = "");

  CLI::App* operator->() { return &app_; }
  CLI::App& app() { return app_; }

  // Throws Failure(kExitUsage) with one line naming the option for any rule
  // broken; prints the help to standard output and throws Failure(kExitOk)
  // for --help.
  void Parse(const std::vector<std::string>& argv);

  bool Has(const std::string& name) const { return app_.count(name) != 0; }

 private:
  CLI::App app_;
  int verbose_ = 0;
  bool quiet_ = false;
  std::string logFile_;
};

// The help of an App, in xbagent's layout: synopsis, summary, options with
// their rules, details.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override;
  std::string make_usage(const CLI::App* app, std::string name) const override;
};

// A value that must not be empty: "needs WHAT" when it is.
CLI::Validator NonEmpty(const std::string& what);

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
