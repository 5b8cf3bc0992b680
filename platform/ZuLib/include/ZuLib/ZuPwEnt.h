#pragma once

#include <string>

#include <ZuLib/ZuLibApi.h>

// The user database entry of one user id, looked up once at construction
// (getpwuid_r, so safe to use from several threads). Every field is empty when
// the id has no entry.
class ZULIB_API ZuPwEnt {
 public:
  explicit ZuPwEnt(unsigned int uid);

  const std::string& GetName() const { return m_sName; }

  std::string m_sName;
  std::string m_sPassword;
  std::string m_sGecos;
  std::string m_sHomeDir;
  std::string m_sShell;
};
