#include "BenchHost.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <XtraBackup/XtraBackupUtil.h>

boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace bench {

double NowSeconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

long PeakRssKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

void* TouchMemory(size_t bytes) {
  char* memory = static_cast<char*>(std::malloc(bytes));
  if (memory == nullptr) return nullptr;
  for (size_t offset = 0; offset < bytes; offset += 4096) memory[offset] = 1;
  return memory;
}

std::string ShellQuote(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace bench
