// The least any capture of a command's output into memory costs: the output
// read straight into one string sized for it in advance (which a real
// capture cannot know), with no logging and no bound on chunks.
//   bench_capture_floor COMMAND BYTES
// Prints the bytes captured.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_capture_floor COMMAND BYTES\n");
    return 2;
  }
  FILE* pipe = ::popen(argv[1], "r");
  if (pipe == nullptr) {
    std::perror("bench_capture_floor: popen");
    return 1;
  }
  std::string output;
  output.reserve(std::strtoull(argv[2], nullptr, 10));
  char buffer[1 << 16];
  ssize_t n;
  while ((n = ::read(::fileno(pipe), buffer, sizeof buffer)) > 0) {
    output.append(buffer, static_cast<size_t>(n));
  }
  const int status = ::pclose(pipe);
  std::printf("bytes=%zu status=%d\n", output.size(), status);
  return n == 0 && status == 0 ? 0 : 1;
}
