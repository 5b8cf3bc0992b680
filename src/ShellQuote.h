#pragma once

// Making paths and names safe to place in /bin/sh command lines. Values made
// only of ordinary path characters come out unchanged, so everyday command
// lines read exactly as written.

#include <initializer_list>
#include <string>
#include <utility>

namespace XtraBackup {
namespace detail {

// For a value the command line puts between double quotes: escapes the four
// characters that stay special there (\ " $ `), so the value can neither end
// the quotes nor expand anything.
std::string EscapeForDoubleQuotes(const std::string& value);

// For a value the command line puts outside quotes: unchanged when it is
// empty or made only of [A-Za-z0-9/._+,:@%-]; otherwise single-quoted (each
// ' written as '\'') so the shell passes it as one word, literally. Text
// appended right after the result (for example a glob) keeps its meaning.
std::string QuoteWord(const std::string& value);

// A command line is C text, so a NUL would cut the value there and the tool
// would get another value. Given (description, value) pairs, returns "the
// DESCRIPTION holds a NUL character" for the first value that holds one, or
// an empty string when none does.
std::string NulReason(
    std::initializer_list<std::pair<const char*, const std::string*>> values);

// For a path given to a command as an argument of its own: a path that
// starts with '-' gets "./" in front, so the command cannot take it for an
// option; any other path is returned unchanged.
std::string NotAnOption(const std::string& path);

}  // namespace detail
}  // namespace XtraBackup
