#include <ZuLib/ZuPwEnt.h>

#include <cerrno>
#include <vector>

#include <pwd.h>
#include <unistd.h>

ZuPwEnt::ZuPwEnt(unsigned int uid) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  struct passwd entry;
  struct passwd* found = nullptr;
  for (;;) {
    int rc = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0) found = nullptr;
    break;
  }
  if (found == nullptr) return;
  m_sName = found->pw_name ? found->pw_name : "";
  m_sPassword = found->pw_passwd ? found->pw_passwd : "";
  m_sGecos = found->pw_gecos ? found->pw_gecos : "";
  m_sHomeDir = found->pw_dir ? found->pw_dir : "";
  m_sShell = found->pw_shell ? found->pw_shell : "";
}
