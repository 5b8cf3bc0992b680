#pragma once

// Tables created with DATA DIRECTORY keep their InnoDB tablespace outside the
// data directory; a `.isl` file next to the table's `.frm` names the path.
// The backup stream carries both the tablespace (as db/table.ibd or .new)
// and the `.isl`. The tool's prepare follows a `.isl` to the path it names,
// which on the server's host is the LIVE tablespace: a staging copy must
// lose its `.isl` files before it is prepared, so the prepare works on the
// copies it holds.

#include <string>
#include <vector>

namespace xbagent {

struct RemoteTablespace {
  std::string table;       // "db/name" as on disk
  std::string remotePath;  // the path the .isl named
};

// Removes every `.isl` file in the database directories of stagingDir (a
// freshly extracted stream) and returns what they named, sorted by table.
// Throws Failure when one cannot be read or removed.
std::vector<RemoteTablespace> NeutraliseRemoteTablespaces(const std::string& stagingDir);

// The checks of one remote tablespace path as a `.isl` names it: absolute,
// ends in ".ibd", no "." or ".." component, no control characters. Returns
// the reason it is refused, or "" when it is usable.
std::string RemotePathProblem(const std::string& path);

}  // namespace xbagent
