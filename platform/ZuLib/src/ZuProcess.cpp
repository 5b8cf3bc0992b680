#include <ZuLib/ZuProcess.h>

#include <ChildSpawn/ChildSpawn.h>

namespace {

// Each stream keeps at most this much of its end.
const size_t kKeepBytes = 1024 * 1024;

int RunCaptured(const char* command, std::string* pOut, std::string* pErr) {
  using childspawn::StreamMode;
  childspawn::SpawnRequest req;
  req.command = command;
  req.stdinMode = StreamMode::kDevNull;
  req.stdoutMode = StreamMode::kPipe;
  req.stderrMode = StreamMode::kPipe;
  req.largePipes = true;

  childspawn::ChildHandles h;
  if (childspawn::Spawn(req, &h) != 0) return -1;

  // Both pipes are drained together so the command never stalls on either;
  // the child's exit (not end of file) ends the wait.
  childspawn::TailBuffer out(kKeepBytes);
  childspawn::TailBuffer err(kKeepBytes);
  int status = -1;
  childspawn::PumpUntilExit(&h, pOut != nullptr ? &out : nullptr,
                            pErr != nullptr ? &err : nullptr, -1, &status);
  childspawn::CloseAll(&h);
  if (pOut != nullptr) out.MoveTo(pOut);
  if (pErr != nullptr) err.MoveTo(pErr);
  return childspawn::ExitCodeFromStatus(status);
}

}  // namespace

int ZuProcess::system(const char* command, std::string* pOut, std::string* pErr, int nReserved,
                      bool bReserved) {
  if (command == nullptr || *command == '\0' || nReserved != 0 || bReserved) return -1;
  try {
    return RunCaptured(command, pOut, pErr);
  } catch (...) {
    return -1;
  }
}
