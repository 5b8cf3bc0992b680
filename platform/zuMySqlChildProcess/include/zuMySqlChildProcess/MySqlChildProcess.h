#pragma once

#include <atomic>
#include <memory>
#include <string>

#define ZUMYSQLCHILDPROCESS_API __attribute__((visibility("default")))

namespace LibMySqlProcess {

// One child process running a shell command line, with pipes to its standard
// input, output and error.
//
// Lifecycle: construct -> Initialize -> ZU_CreateProcess -> (ReadBuf /
// WriteBuf / CloseInput)* -> Wait -> ReadErrBuf. After Wait the object may be
// initialized again for another command. One object is used from one thread
// at a time, with one exception: Kill may be called from any thread at any
// time, also while another thread is inside ReadBuf, WriteBuf or Wait on the
// same object (a stop request ending a tool that prints nothing). Different
// objects are independent.
//
// The child is started through /bin/sh -c -- COMMAND with
// clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD) and exec, like posix_spawn (no
// copy of the host's memory, no libc system()/popen()). The pidfd comes with
// the child, and the child is reaped only through it (waitid(P_PIDFD)),
// never by its pid: a host that ignores SIGCHLD or reaps with waitpid(-1)
// does not take its exit status away (it is read through the pidfd, Linux
// 6.15 and later; on older kernels it is unknown, see Wait), and once the
// host has reaped the child, another child of the host that gets its pid is
// never waited for, reaped or signalled by this object. Its pipes are created
// close-on-exec and every other descriptor of the host is closed in the
// child, also where close_range is missing or refused (then each descriptor
// listed in /proc/self/fd, or without /proc every number below the hard
// RLIMIT_NOFILE). The child starts with an empty signal mask and default
// signal dispositions, whatever the host has set.
//
// Nothing ever blocks the child for want of a reader: whenever the object
// waits (ReadBuf, WriteBuf, Wait) it also drains standard error into a
// bounded buffer that keeps the most recent text (kErrRetainBytes), because
// tools print their reason last. The object stops a child only when the host
// calls Kill.
//
// Error numbers: calls that return nonzero record an errno value, readable
// with GetLastErrNo. It belongs to the object, not to the calling thread:
// with Kill on another thread it holds the outcome of whichever call ended
// last.
class ZUMYSQLCHILDPROCESS_API MySqlChildProcess {
 public:
  // Standard error retained for ReadErrBuf, most recent bytes first kept.
  static const long kErrRetainBytes = 1024 * 1024;
  // Standard output that WriteBuf/Wait keep for a later ReadBuf when the host
  // is not reading it; older bytes beyond this are discarded.
  static const long kOutRetainBytes = 1024 * 1024;

  MySqlChildProcess();
  // A child that is still running when the object is destroyed gets end of
  // file on its standard input and loses its output pipes (a tool then ends
  // on its own); it is reaped as soon as it exits, by a background thread of
  // its own if it has not exited yet, so no zombie is left. Where no thread
  // can be started (the host is at its RLIMIT_NPROC or out of memory), the
  // exited child is reaped instead by the next ZU_CreateProcess or
  // destructor of any object of this class in the process; until then it
  // stays a zombie. The destructor neither kills the child nor waits for it
  // to exit. Call Wait first to learn its status.
  ~MySqlChildProcess();
  MySqlChildProcess(const MySqlChildProcess&) = delete;
  MySqlChildProcess& operator=(const MySqlChildProcess&) = delete;

  // Records the command line for the next launch, run as /bin/sh -c COMMAND.
  //   sWorkDir:     directory the child starts in; empty keeps the host's.
  //   sEnvironment: extra environment entries for the child, "NAME=value"
  //                 separated by newlines, added to (or replacing entries of)
  //                 the host's environment; empty adds nothing.
  // Returns 0; nonzero (EINVAL) for an empty command or an environment line
  // that is not NAME=value, (EBUSY) while a child started by this object has
  // not been waited for.
  int Initialize(std::string sCommand, std::string sWorkDir, std::string sEnvironment);

  // Starts the child.
  //   bPipes:          stdin, stdout and stderr are pipes to this object
  //                    (false: the child shares the host's stdin/stdout/stderr).
  //   bMergeStderr:    standard error goes to the stdout pipe.
  //   bNullStdin:      standard input is /dev/null instead of a pipe.
  //   bNewProcessGroup: the child leads a process group of its own, so a
  //                    terminal's Ctrl-C to the host does not reach it.
  // Without bPipes, bMergeStderr and bNullStdin still apply to the shared
  // streams.
  // Returns 0 once the child runs; nonzero when it could not be started
  // (not initialized, already started, pipes or spawn failed). After Wait the
  // recorded command may be started again.
  int ZU_CreateProcess(bool bPipes, bool bMergeStderr, bool bNullStdin, bool bNewProcessGroup);

  // Gives the children started from now on a descriptor of the host's
  // choosing as their standard output (a copy of nFd, say a file the host
  // opened), in place of a pipe to this object or the host's standard
  // output; standard input and error stay as ZU_CreateProcess is asked.
  // The object keeps no reference to nFd beyond the start: the host still
  // owns and closes it. While it is set, ReadBuf reports the end of output
  // at once and bMergeStderr sends standard error to nFd too. -1 returns to
  // the default. A child already running keeps what it was started with.
  // Returns 0; nonzero with GetLastErrNo() == EBADF when nFd is not an open
  // descriptor.
  int SetStdoutDescriptor(int nFd);

  // The same for standard input: the children started from now on read a
  // copy of nFd (say a file the host opened) in place of a pipe from this
  // object, /dev/null or the host's standard input. A file is read from
  // its descriptor's current offset, and the child's reads move the offset
  // the host sees. While it is set, WriteBuf fails with EBADF. -1 returns to
  // the default. Returns 0; nonzero with GetLastErrNo() == EBADF when nFd is
  // not an open descriptor.
  int SetStdinDescriptor(int nFd);

  // Reads standard output. *pnLen holds the capacity on entry and the count
  // read on return. Blocks until some data or end of output; 0 bytes means the
  // output has ended (and stays ended). Returns 0 on success, nonzero on
  // failure with GetLastErrNo() set (EBADF when no child was started).
  // Output also ends once the child has exited and its pipe is empty, even if
  // a descendant of the child still holds the pipe open, and once 4 MiB have
  // been read after the child's exit while a descendant keeps writing.
  int ReadBuf(char* pBuf, long* pnLen);

  // Reads standard error collected so far. Never blocks. When more text is
  // pending than fits, the END of it is returned (the most recent
  // *pnLen bytes) and the older part is dropped; so after a failed run a
  // single read returns the tool's last words. Returns 0 with the count in
  // *pnLen (0 once standard error has ended and everything was taken);
  // nonzero with GetLastErrNo() == EAGAIN when nothing is pending yet but the
  // child may still write.
  int ReadErrBuf(char* pBuf, long* pnLen);

  // Writes all of pBuf to the child's standard input, draining its output
  // and error meanwhile. Returns 0, or nonzero with GetLastErrNo() == EPIPE
  // when the child no longer reads (the host is not signalled: SIGPIPE is
  // blocked for the write and a SIGPIPE it raised is consumed). EPIPE also
  // when the child has exited while its input pipe is full. EBADF when the
  // standard input is not a pipe or was closed.
  int WriteBuf(const char* pBuf, long nLen);

  // Closes the child's standard input (end of stream). Idempotent.
  int CloseInput();

  // Closes standard input, drains standard output (kept, up to
  // kOutRetainBytes, for a later ReadBuf) and standard error, and reaps the
  // child once. nTimeoutSeconds 0 waits without limit; otherwise Wait returns
  // nonzero (ETIMEDOUT) if the child still runs after that long, leaving it
  // running and waitable.
  // Returns 0 when the child exited with status 0; otherwise its exit status,
  // 128 + signal number when a signal ended it, or -1 when the status is
  // unknown (the host ignores SIGCHLD or reaped the child, on a kernel
  // older than 6.15).
  // The child's exit ends the wait even if a descendant still holds the
  // pipes; what they hold then is kept and the pipes are closed. Once a Wait
  // has succeeded, further calls return the same status. GetLastErrNo() is 0
  // after a reaped child (whatever its status), ECHILD when the status is
  // unknown or no child was started.
  int Wait(unsigned int nTimeoutSeconds);

  int GetLastErrNo() const { return m_nLastErrNo.load(std::memory_order_relaxed); }

  // Sends nSignal to the started command and to everything it started: the
  // child's process group when it was started with bNewProcessGroup,
  // otherwise the child's descendants (found through /proc) and the child.
  // Returns 0; nonzero with GetLastErrNo() == ESRCH when no child runs (none
  // started, or already reaped), or the errno of kill(2). Wait still reaps
  // the child afterwards.
  // Thread safety: Kill may run on another thread while one thread is inside
  // ReadBuf, WriteBuf or Wait (which then return as the child ends). Kill
  // and the reaping of the child exclude each other (one mutex), so Kill
  // never signals a pid after this object reaped it, and the child itself
  // is signalled through its pidfd (pidfd_send_signal), so not even a host
  // that reaps children behind the object's back makes it signal a reused
  // pid. Descendants found through /proc have no such guarantee (see
  // above). Without a process group of its own, a descendant that has left
  // the child's tree is not reached: a daemonized grandchild (its parent
  // exited, so init or a subreaper adopted it) is no longer found below the
  // child. With bNewProcessGroup it is reached unless it left the group
  // (setsid, setpgid). GetLastErrNo then tells the outcome of whichever call
  // ended last. Kill must not race with the destructor; a Kill while no
  // child runs (before ZU_CreateProcess, after the reaping) returns ESRCH.
  int Kill(int nSignal);

  // Process id of the running child (the shell), or -1.
  int GetPid() const;
  // Raw wait status after a successful Wait (as from waitpid), or -1.
  int GetWaitStatus() const;
  // Bytes of standard error dropped because they did not fit the retained
  // buffer or were older than what ReadErrBuf returned.
  long long GetDroppedErrBytes() const;

 private:
  struct Impl;
  std::atomic<int> m_nLastErrNo;
  std::unique_ptr<Impl> m_pImpl;
};

}  // namespace LibMySqlProcess
