#pragma once

// Exit codes, the failure type every subcommand throws, and small helpers
// shared by the subcommands.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace xbagent {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// A failure while a stop (SIGINT, SIGTERM) was requested.
constexpr int kExitInterrupted = 130;

// A failure that ends the subcommand: its message becomes the one error line
// printed, its code the exit status.
class Failure : public std::runtime_error {
 public:
  Failure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// The operation failed (exit 1).
[[noreturn]] void Fail(const std::string& message);
// The command line is wrong (exit 2).
[[noreturn]] void UsageFail(const std::string& message);

// strerror(errnum) as a std::string.
std::string ErrnoText(int errnum);

// "1.5 MiB", "312 B".
std::string HumanBytes(uint64_t bytes);
// "2.35 s" or "1 min 05 s".
std::string HumanSeconds(double seconds);

// Seconds of CLOCK_MONOTONIC.
double MonotonicSeconds();
// Current UTC time as "2024-05-01T12:34:56Z".
std::string UtcTimestamp();

// The text without leading and trailing blanks (space, tab, CR, LF).
std::string Trim(const std::string& text);

// Single-quotes a value for /bin/sh so it is passed as one literal word.
std::string ShellQuote(const std::string& value);

// Strict decimal parse of a non-negative integer; false on anything else.
bool ParseUnsigned(const std::string& text, uint64_t* value);

// "<pid>#<process start time>": names what a run leaves on the server, so a
// later run can tell whether the run that left it still runs.
std::string RunIdentity();
// "<digits>#<digits>", as RunIdentity makes them.
bool IsRunIdentity(const std::string& text);
bool IsRunAlive(const std::string& identity);

}  // namespace xbagent
