#pragma once

// Making paths and names safe to place in /bin/sh command lines. Values made
// only of ordinary path characters come out unchanged, so everyday command
// lines read exactly as written.

#include <string>

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

}  // namespace detail
}  // namespace XtraBackup
