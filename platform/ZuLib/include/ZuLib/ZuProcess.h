#pragma once

#include <string>

#include <ZuLib/ZuLibApi.h>

class ZULIB_API ZuProcess {
 public:
  // Runs `command` through /bin/sh -c and waits for it. The child is started
  // like posix_spawn, with clone and exec (no copy of the host's memory, no
  // use of libc system()), its stdin is /dev/null, and no descriptor of the
  // host leaks into it. Its status is known even when the host ignores
  // SIGCHLD or reaps with waitpid(-1) (Linux 6.15 and later).
  // Standard output is appended to *pOut and standard error to *pErr while
  // the command runs (either pointer may be null to discard); each keeps at
  // most the last 1 MiB, since a failing command puts its reason last.
  // `nReserved` and `bReserved` must be 0 and false.
  // Returns 0 only when the command exited with status 0; otherwise its exit
  // status, 128 + the signal number when a signal ended it, or -1 when it
  // could not be started or its status could not be learned.
  static int system(const char* command, std::string* pOut, std::string* pErr, int nReserved,
                    bool bReserved);
};
