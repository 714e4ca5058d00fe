// Child processes: run a program to completion and capture its output, or keep
// a server running in its own process group for the length of a test.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
  int ExitCode = -1;      // exit status, or -1 when killed by a signal
  int Signal = 0;         // the killing signal, 0 when it exited
  bool TimedOut = false;  // killed because the time-out passed
  std::string Out;        // everything written to stdout
  std::string Err;        // everything written to stderr
  // "exit 0", "signal 9", "timed out": for assertion messages.
  std::string Describe() const;
};

struct RunOptions {
  std::string Input;        // written to the child's stdin, which then closes
  int TimeoutMs = 60000;    // the whole process group is killed after it
  std::string WorkingDir;   // empty: the current folder
  std::vector<std::string> Environment;  // extra "NAME=value" entries
};

// Runs argv[0] (a path, or a name looked up in PATH) with the arguments and
// waits for it. Throws std::runtime_error only when it cannot be started.
//   auto r = RunProcess({"/usr/bin/curl", "-s", url});  EXPECT_EQ(r.ExitCode, 0) << r.Err;
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options = {});

// Folder of the running executable: build/bin, where every program of the project lands.
std::string ExecutableDir();

// Throws a clear error naming the program when path is not an executable file.
void RequireProgram(const std::string& path, const std::string& package);

// Every living (not zombie) process below pid, children first, from /proc.
std::vector<pid_t> DescendantsOf(pid_t pid);

// A long-running child in a process group of its own, with stdout and stderr
// sent to files. It gets SIGKILL when the thread that started it ends, so a
// crashed test leaves no server behind. Stop() (and the destructor) kills
// what the child forked (also session processes that left its group), sends
// SIGTERM to the whole group, SIGKILL after a grace time, and reaps it.
class ChildProcess {
public:
  ChildProcess() = default;
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Start(const std::vector<std::string>& argv, const std::string& stdoutPath,
             const std::string& stderrPath, const std::string& workingDir = {});
  // True while the child has not exited (reaps it when it has).
  bool Running();
  // Exit description once it has exited: "exit 1", "signal 15".
  std::string ExitText() const { return FExitText; }
  void Stop(int graceMs = 2000);
  pid_t Pid() const { return FPid; }

private:
  pid_t FPid = -1;
  std::string FExitText;
};
