#pragma once

// The backup tool's directory, versions of the tool and the library, and a
// way to run a short command and collect its output.

#include <string>
#include <vector>

#include "Fs.h"

namespace xbagent {

// A directory holding the xtrabackup and xbstream names the utility library
// runs. Given: checked to hold them. Not given: a private directory of links
// to mariabackup and mbstream from PATH, removed when the object goes.
class ToolDir {
 public:
  explicit ToolDir(const std::string& given);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  PathGuard guard_;
};

// Runs command through /bin/sh -c with standard error merged into standard
// output; keeps at most maxBytes of the output (the end). Returns the exit
// status (0 success).
int RunAndCapture(const std::string& command, std::string* output, size_t maxBytes);

// First line of "xtrabackup --version" from the tool directory.
std::string ToolVersion(const std::string& toolDir);

// The tool's version line as a manifest keeps it, without the path the tool
// was started by: "/x/xtrabackup based on MariaDB server ..." becomes
// "mariabackup based on MariaDB server ...".
std::string ToolVersionOfLine(const std::string& line);

// The utility library's file name and version as loaded into this process
// ("libXtraBackupUtil.so.1.0.0", "1.0.0").
void LibraryVersion(std::string* file, std::string* version);

// The absolute path of the first of the programs found on PATH (or in
// /usr/sbin, /sbin), "" when none is.
std::string FindProgram(const std::vector<std::string>& names);

// A private scratch directory under $TMPDIR (or /tmp).
std::string MakeScratchDir(const std::string& prefix);

}  // namespace xbagent
