#include "Args.h"

#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>

#include "Common.h"
#include "Log.h"

namespace xbagent {

namespace {

constexpr size_t kWidth = 79;
constexpr size_t kColumn = 26;
const char kCommonGroup[] = "Common options";

Verbosity LevelOf(int verbose, bool quiet) {
  if (quiet) return Verbosity::kQuiet;
  if (verbose >= 3) return Verbosity::kTrace;
  if (verbose == 2) return Verbosity::kDebug;
  if (verbose == 1) return Verbosity::kVerbose;
  return Verbosity::kNormal;
}

// Words filled into lines of `width`, each line after the first indented by
// `indent`; a newline in the text starts a new line.
std::string Fill(const std::string& text, size_t start, size_t indent, size_t width = kWidth) {
  std::string out;
  size_t column = start;
  std::istringstream lines(text);
  std::string line;
  bool firstLine = true;
  while (std::getline(lines, line)) {
    if (!firstLine) {
      out += "\n" + std::string(indent, ' ');
      column = indent;
    }
    firstLine = false;
    std::istringstream words(line);
    std::string word;
    bool lineStart = true;
    while (words >> word) {
      if (!lineStart && column + 1 + word.size() > width) {
        out += "\n" + std::string(indent, ' ');
        column = indent;
        lineStart = true;
      }
      if (!lineStart) {
        out += ' ';
        ++column;
      }
      out += word;
      column += word.size();
      lineStart = false;
    }
  }
  return out;
}

bool TakesValue(const CLI::Option* option) { return option->get_expected_max() != 0; }
bool Repeats(const CLI::Option* option) {
  return option->get_expected_max() >= CLI::detail::expected_max_vector_size;
}

// "--from DIR", "--compress [zstd[:LEVEL]]", "NAME...".
std::string Form(const CLI::Option* option) {
  if (option->get_positional()) return option->get_name(true) + (Repeats(option) ? "..." : "");
  std::string form = option->get_name();
  if (!TakesValue(option)) return form;
  if (option->get_expected_min() == 0) return form + " [" + option->get_type_name() + "]";
  return form + " " + option->get_type_name();
}

std::string SynopsisWord(const CLI::Option* option) {
  if (option->get_required()) return Form(option);
  return "[" + Form(option) + "]" + (Repeats(option) && !option->get_positional() ? "..." : "");
}

// The rules CLI11 enforces for the option, in words.
std::string Rules(const CLI::Option* option) {
  std::vector<std::string> rules;
  if (option->get_required() && !option->get_positional()) rules.push_back("required");
  for (const CLI::Option* other : option->get_needs()) {
    rules.push_back("needs " + other->get_name());
  }
  for (const CLI::Option* other : option->get_excludes()) {
    rules.push_back("not with " + other->get_name());
  }
  if (Repeats(option) && !option->get_positional()) rules.push_back("repeatable");
  return rules.empty() ? "" : " (" + CLI::detail::join(rules, "; ") + ")";
}

std::string OptionLine(const CLI::Option* option) {
  std::string left = "  " + (option->get_positional() ? Form(option)
                                                       : option->get_name(false, true));
  if (!option->get_positional() && TakesValue(option)) {
    left += Form(option).substr(option->get_name().size());
  }
  left = CLI::detail::find_and_replace(left, ",", ", ");
  std::string text = option->get_description() + Rules(option);
  if (left.size() + 2 > kColumn) {
    return left + "\n" + std::string(kColumn, ' ') + Fill(text, kColumn, kColumn) + "\n";
  }
  return left + std::string(kColumn - left.size(), ' ') + Fill(text, kColumn, kColumn) + "\n";
}

std::vector<const CLI::App*> OptionGroups(const CLI::App* app) {
  return app->get_subcommands([](const CLI::App* sub) { return sub->get_name().empty(); });
}

std::vector<const CLI::App*> Commands(const CLI::App* app) {
  return app->get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
}

// The options declared on the App or option group itself (not the help flag
// a group inherits).
std::vector<const CLI::Option*> OwnOptions(const CLI::App* app) {
  return app->get_options([app](const CLI::Option* option) {
    return option != app->get_help_ptr() || app->get_parent() == nullptr;
  });
}

std::string GroupTitle(const CLI::App* group) {
  if (group->get_require_option_min() == 1 && group->get_require_option_max() == 1) {
    return group->get_group() + " (exactly one)";
  }
  return group->get_group();
}

// The reversed argument lists CLI11 parses, from the order they were given.
std::vector<std::string> Reversed(const std::vector<std::string>& argv) {
  return std::vector<std::string>(argv.rbegin(), argv.rend());
}

// An unknown option that asks for a connection xbagent never makes: the
// way it is done instead; "" for any other option.
std::string ConnectionHint(const std::string& option) {
  static const char* const kConnection[] = {"--password", "-p", "--host", "-H", "--port", "-P",
                                            "--protocol", "--ssl"};
  for (const char* name : kConnection) {
    if (option == name) {
      return ": connection settings (user, password, socket) belong in the defaults file "
             "(--defaults-file CNF, its [client] group), and xbagent runs on the server's host "
             "(the backup tool reads the data directory), so there is no --host or --port";
    }
  }
  return "";
}

// What is left after the parse: an unknown option, an unknown command, or
// an argument the command does not take; "" when nothing is left.
std::string ExtraText(const CLI::App& app) {
  const std::vector<std::string> remaining = app.remaining();
  bool optionsEnded = false;
  for (const std::string& extra : remaining) {
    if (extra == "--" && !optionsEnded) {
      optionsEnded = true;
      continue;
    }
    if (!optionsEnded && extra.size() > 1 && extra[0] == '-') {
      const std::string option = extra.substr(0, extra.find('='));
      const std::string hint = ConnectionHint(option);
      return "unknown option " + option + (hint.empty() ? " (see --help)" : hint);
    }
    if (!Commands(&app).empty()) return "unknown command '" + extra + "' (see xbagent --help)";
    return "unexpected argument '" + extra + "'";
  }
  return "";
}

// CLI11's error as one line naming the option.
std::string UsageText(const CLI::App& app, const CLI::Error& error) {
  const std::string text = error.what();
  const std::string name = text.substr(0, text.find_first_of(": "));
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
    if (text.find("flag override") != std::string::npos) {
      return "option " + std::string(name[0] == '-' ? "" : name.size() > 1 ? "--" : "-") + name +
             " takes no value";
    }
    if (text.find("At Most") != std::string::npos) {
      return "option " + name + " given more than once";
    }
    if (text.find("missing") != std::string::npos) return "option " + name + " needs a value";
  }
  // A check's words that go on from the name: "--as needs a database name".
  if (dynamic_cast<const CLI::ValidationError*>(&error) != nullptr &&
      text.compare(name.size(), 2, ": ") == 0 && std::islower(text[name.size() + 2]) != 0) {
    return name + text.substr(name.size() + 1);
  }
  const CLI::Option* option = app.get_option_no_throw(name);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && option != nullptr &&
      !option->get_positional() && TakesValue(option)) {
    return Form(option) + " is required";  // "--from DIR is required"
  }
  const std::string exactlyOne = "Exactly 1 option from [";
  if (text.compare(0, exactlyOne.size(), exactlyOne) == 0) {
    std::string names = text.substr(exactlyOne.size(), text.find(']') - exactlyOne.size());
    names = CLI::detail::find_and_replace(names, ",", " and ");
    return "give exactly one of " + names;
  }
  return text;
}

}  // namespace

std::string HelpFormatter::make_usage(const CLI::App* app, std::string name) const {
  // Arguments, then what is required, then the choices.
  std::vector<std::string> words;
  for (const CLI::Option* option : OwnOptions(app)) {
    if (option->get_positional()) words.push_back(SynopsisWord(option));
  }
  for (bool required : {true, false}) {
    for (const CLI::Option* option : OwnOptions(app)) {
      if (option->nonpositional() && option->get_required() == required &&
          option->get_group() != kCommonGroup) {
        words.push_back(SynopsisWord(option));
      }
    }
    for (const CLI::App* group : OptionGroups(app)) {
      if ((group->get_require_option_min() > 0) != required || !Commands(app).empty()) continue;
      std::string choice;
      for (const CLI::Option* option : OwnOptions(group)) {
        choice += (choice.empty() ? "" : " | ") + Form(option);
      }
      words.push_back(required ? "(" + choice + ")" : "[" + choice + "]");
    }
  }
  if (app->get_option_no_throw("--log") != nullptr) words.push_back("[-v | -q] [--log FILE]");
  if (!Commands(app).empty()) words.push_back("COMMAND [OPTIONS]");
  // A word never breaks: "[--until TIME]" stays on one line.
  std::string head = "Usage: " + name + " ";
  std::string out = head;
  size_t column = head.size();
  for (const std::string& word : words) {
    if (column > head.size() && column + word.size() > kWidth) {
      out.back() = '\n';
      out += std::string(head.size(), ' ');
      column = head.size();
    }
    out += word + " ";
    column += word.size() + 1;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  // Beside the commands, a group is a use of its own: "xbagent --version
  // [--defaults-file CNF]".
  for (const CLI::App* group : Commands(app).empty() ? std::vector<const CLI::App*>()
                                                     : OptionGroups(app)) {
    out += "\n" + std::string(head.size() - name.size() - 5, ' ') + "or: " + name;
    for (const CLI::Option* option : OwnOptions(group)) {
      out += " " + (option->get_needs().empty() ? Form(option) : "[" + Form(option) + "]");
    }
  }
  return out + "\n";
}

std::string HelpFormatter::make_help(const CLI::App* app, std::string name,
                                     CLI::AppFormatMode) const {
  std::string out = make_usage(app, name) + "\n";
  if (!app->get_description().empty()) out += Fill(app->get_description(), 0, 0) + "\n";
  std::string arguments;
  std::string options;
  std::string common;
  for (const CLI::Option* option : OwnOptions(app)) {
    if (option->get_positional()) {
      arguments += OptionLine(option);
    } else if (option->get_group() == kCommonGroup || option == app->get_help_ptr()) {
      common += OptionLine(option);
    } else {
      options += OptionLine(option);
    }
  }
  if (!arguments.empty()) out += "\nArguments:\n" + arguments;
  if (!options.empty()) out += "\nOptions:\n" + options;
  for (const CLI::App* group : OptionGroups(app)) {
    out += "\n" + GroupTitle(group) + ":\n";
    for (const CLI::Option* option : OwnOptions(group)) out += OptionLine(option);
  }
  const std::vector<const CLI::App*> commands = Commands(app);
  if (!commands.empty()) out += "\nCommands:\n";
  for (const CLI::App* command : commands) {
    std::string left = "  " + command->get_name();
    left += std::string(left.size() + 2 > 18 ? 2 : 18 - left.size(), ' ');
    out += left + Fill(command->get_description(), left.size(), 18) + "\n";
  }
  if (!common.empty()) out += std::string("\n") + kCommonGroup + ":\n" + common;
  if (!app->get_footer().empty()) out += "\n" + Fill(app->get_footer(), 0, 0);
  if (out.back() != '\n') out += "\n";
  return out;
}

PointInTimeOptions::PointInTimeOptions(CommandLine& cli, const std::string& replay) : cli_(cli) {
  CLI::Option* binlogs =
      cli->add_option("--binlogs", binlogs_, "an archive of binlog-archive: " + replay)
          ->type_name("DIR")
          ->check(NonEmpty("a directory"));
  CLI::Option* until =
      cli->add_option("--until", until_,
                      "replay every transaction committed before TIME, local time as "
                      "'YYYY-MM-DD HH:MM:SS'")
          ->type_name("TIME")
          ->needs(binlogs);
  cli->add_option("--until-gtid", untilGtid_, "replay up to and including GTID (D-S-N)")
      ->type_name("GTID")
      ->needs(binlogs)
      ->excludes(until);
}

PointInTimeTarget PointInTimeOptions::Target() const {
  return PointInTimeFromOptions(binlogs_, cli_.Has("--until"), until_, cli_.Has("--until-gtid"),
                                untilGtid_);
}

CLI::Validator Between(uint64_t low, uint64_t high, const std::string& what) {
  return CLI::Validator(
      [=](std::string& value) {
        uint64_t number = 0;
        if (ParseUnsigned(value, &number) && number >= low && number <= high) return std::string();
        return what + " from " + std::to_string(low) + " to " + std::to_string(high);
      },
      "");
}

CLI::Validator NonEmpty(const std::string& what) {
  return CLI::Validator(
      [what](std::string& value) { return value.empty() ? "needs " + what : std::string(); }, "");
}

CLI::Validator SqlName(const std::string& what) {
  return CLI::Validator(
      [what](std::string& value) {
        if (value.size() < 2 || value.front() != '`' || value.back() != '`') {
          return value.empty() ? "needs " + what : std::string();
        }
        std::string name;
        for (size_t i = 1; i + 1 < value.size(); ++i) {
          if (value[i] == '`' && (i + 2 >= value.size() || value[i + 1] != '`')) {
            return "needs " + what + " as written in SQL: inside backquotes a backquote is "
                   "doubled (`a``b` for a`b)";
          }
          if (value[i] == '`') ++i;
          name += value[i];
        }
        if (name.empty()) return "needs " + what;
        value = name;
        return std::string();
      },
      "");
}

CommandLine::CommandLine(const std::string& name, const std::string& summary,
                         const std::string& details)
    : app_(summary, name.empty() ? "xbagent" : "xbagent " + name) {
  app_.formatter(std::make_shared<HelpFormatter>());
  app_.footer(details);
  app_.allow_extras();
  app_.option_defaults()->disable_flag_override();
  app_.set_help_flag("-h,--help", "print this help and exit")->group(kCommonGroup);
  CLI::Option* verbose =
      app_.add_flag("-v,--verbose", verbose_, "say more (-vv, -vvv: more still)")
          ->group(kCommonGroup);
  app_.add_flag("-q,--quiet", quiet_, "print only errors")->excludes(verbose)->group(kCommonGroup);
  app_.add_option("--log", logFile_, "send the details to FILE")
      ->type_name("FILE")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
      ->group(kCommonGroup);
}

std::vector<std::string> CommandLine::CommonOptions() const {
  std::vector<std::string> options(static_cast<size_t>(verbose_), "-v");
  if (quiet_) options.push_back("-q");
  if (Has("--log")) options.insert(options.end(), {"--log", logFile_});
  return options;
}

void CommandLine::PrintHelp() {
  std::fputs(app_.help().c_str(), stdout);
  std::fflush(stdout);
  throw Failure(kExitOk, "");
}

bool CommandLine::AsksForHelp(const std::vector<std::string>& argv) const {
  for (const std::string& arg : argv) {
    if (arg == "--") return false;
    for (const CLI::App* command : Commands(&app_)) {
      if (command->get_name() == arg) return false;
    }
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

// A value that looks like an option ("--database --from DIR") is an
// option whose value was left out, never a name.
void CommandLine::CheckValues() const {
  for (const CLI::Option* option : app_.get_options()) {
    if (option->get_positional() || !TakesValue(option)) continue;
    for (const std::string& value : option->results()) {
      if (value.size() > 2 && value.compare(0, 2, "--") == 0) {
        UsageFail("option " + option->get_name() + " needs a value, not the option " +
                  value.substr(0, value.find('=')));
      }
    }
  }
}

void CommandLine::Parse(const std::vector<std::string>& argv) {
  // --help anywhere is a request for help, even where a value is due.
  if (AsksForHelp(argv)) PrintHelp();
  try {
    app_.parse(Reversed(argv));
  } catch (const CLI::CallForHelp&) {
    PrintHelp();
  } catch (const CLI::ParseError& error) {
    CheckValues();
    // An unknown option explains the rest: "--defaults-fle" is why
    // "--defaults-file" is missing.
    const std::string extra = ExtraText(app_);
    UsageFail(extra.empty() ? UsageText(app_, error) : extra);
  }
  CheckValues();
  const std::string extra = ExtraText(app_);
  if (!extra.empty()) UsageFail(extra);
  // A flag given twice is a slip, as with an option.
  for (const CLI::Option* option : app_.get_options()) {
    if (option->get_group() != kCommonGroup && !Repeats(option) && option->count() > 1) {
      UsageFail("option " + option->get_name() + " given more than once");
    }
  }
  Log().Configure(LevelOf(verbose_, quiet_), logFile_);
}

}  // namespace xbagent
