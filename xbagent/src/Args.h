#pragma once

// Command lines on CLI11. Each command declares on a CommandLine its options,
// their rules (required, needs, excludes, checks, positional arguments) and
// their help; the help page and its synopsis are generated from them. Every
// command also takes -v/-vv/-vvv/--verbose, -q/--quiet, --log FILE and
// -h/--help, which set up the log.

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "pitr/PointInTime.h"

namespace xbagent {

class CommandLine {
 public:
  // name: "backup" ("" for xbagent itself); summary: what the command does, in a
  // sentence or two; details: what the help says after the options.
  CommandLine(const std::string& name, const std::string& summary, const std::string& details = "");

  CLI::App* operator->() { return &app_; }
  CLI::App& app() { return app_; }

  // Throws Failure(kExitUsage) with one line naming the option for any rule
  // broken (a value that is an option, "--from --json", is one); prints the
  // help to standard output and throws Failure(kExitOk) for --help or -h
  // anywhere before "--" or a subcommand's name, also where a value is due.
  void Parse(const std::vector<std::string>& argv);

  bool Has(const std::string& name) const { return app_.count(name) != 0; }

  // After the parse: the options every command takes, as they were given.
  std::vector<std::string> CommonOptions() const;

 private:
  [[noreturn]] void PrintHelp();
  bool AsksForHelp(const std::vector<std::string>& argv) const;
  void CheckValues() const;

  CLI::App app_;
  int verbose_ = 0;
  bool quiet_ = false;
  std::string logFile_;
};

// The help of an App, in xbagent's layout: synopsis, summary, options with
// their rules, details.
class HelpFormatter : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override;
  std::string make_usage(const CLI::App* app, std::string name) const override;
};

// --binlogs DIR, --until TIME and --until-gtid GTID of both restores.
class PointInTimeOptions {
 public:
  // replay: what --binlogs does with the archive in this restore.
  PointInTimeOptions(CommandLine& cli, const std::string& replay);
  // After the parse: the target, its forms checked (Failure(kExitUsage)).
  PointInTimeTarget Target() const;

 private:
  const CommandLine& cli_;
  std::string binlogs_;
  std::string until_;
  std::string untilGtid_;
};

// A decimal number from low to high: "WHAT from LOW to HIGH" otherwise.
CLI::Validator Between(uint64_t low, uint64_t high, const std::string& what);

// A value that must not be empty: "needs WHAT" when it is.
CLI::Validator NonEmpty(const std::string& what);

// A database or table name as written in SQL: bare, or in backquotes
// (`shop`, `a``b` for a`b), which are taken off; "needs WHAT" when empty.
CLI::Validator SqlName(const std::string& what);

}  // namespace xbagent
