#include "Process.h"

#include "LoopbackSocket.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

[[noreturn]] void ThrowErrno(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::vector<char*> CArgs(const std::vector<std::string>& strings) {
  std::vector<char*> args;
  for (const std::string& s : strings)
    args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  return args;
}

// Runs in the forked child before exec: only async-signal-safe calls.
void PrepareChild(pid_t parent) {
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent)
    ::_exit(127);
  // The test process may ignore or block signals; the child starts clean.
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void WriteExecFailure(const char* program) {
  const char* reason = std::strerror(errno);
  const char* parts[] = {"cannot run ", program, ": ", reason, "\n"};
  for (const char* p : parts)
    [[maybe_unused]] ssize_t n = ::write(2, p, std::strlen(p));
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status))
    return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// A child that exits without reading its input must not kill the test with
// SIGPIPE; the signal is blocked for this thread only and a pending one
// taken back, so the process-wide handling stays as the code under test expects.
ssize_t WriteWithoutSigpipe(int fd, std::string_view data) {
  sigset_t pipeSet, old;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
  ssize_t n = ::write(fd, data.data(), data.size());
  int err = errno;
  if (n < 0 && err == EPIPE) {
    timespec zero{0, 0};
    while (::sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  errno = err;
  return n;
}

void MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0)
    ThrowErrno("pipe");
  readEnd.Reset(fds[0]);
  writeEnd.Reset(fds[1]);
}

// Forks a child in a process group of its own with the given standard
// descriptors and working folder, and runs argv there (with env when given,
// else the parent's environment). Returns the child's pid.
pid_t SpawnChild(const std::vector<std::string>& argv, const std::vector<std::string>* env, int in, int out, int err,
                 const std::string& workingDir) {
  std::vector<char*> args = CArgs(argv);
  std::vector<char*> envp;
  if (env) envp = CArgs(*env);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0)
    ThrowErrno("fork");
  if (pid == 0) {
    PrepareChild(parent);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) {
      WriteExecFailure(workingDir.c_str());
      ::_exit(127);
    }
    if (env)
      ::execvpe(args[0], args.data(), envp.data());
    else
      ::execvp(args[0], args.data());
    WriteExecFailure(args[0]);
    ::_exit(127);
  }
  ::setpgid(pid, pid);
  return pid;
}

}  // namespace

std::string ProcessResult::Describe() const {
  if (TimedOut)
    return "timed out";
  if (Signal != 0)
    return "signal " + std::to_string(Signal);
  return "exit " + std::to_string(ExitCode);
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options) {
  if (argv.empty())
    throw std::runtime_error("RunProcess: no program given");
  UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  MakePipe(inRead, inWrite);
  MakePipe(outRead, outWrite);
  MakePipe(errRead, errWrite);

  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e)
    envStrings.emplace_back(*e);
  for (const std::string& extra : options.Environment)
    envStrings.push_back(extra);
  const pid_t pid = SpawnChild(argv, &envStrings, inRead.Get(), outWrite.Get(), errWrite.Get(), options.WorkingDir);
  inRead.Reset();
  outWrite.Reset();
  errWrite.Reset();

  ProcessResult result;
  std::string_view input = options.Input;
  if (input.empty())
    inWrite.Reset();
  else
    ::fcntl(inWrite.Get(), F_SETFL, O_NONBLOCK);
  Deadline deadline(options.TimeoutMs);
  Deadline drainLimit(-1);
  char buffer[65536];
  while (outRead || errRead) {
    pollfd p[3] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}, {inWrite.Get(), POLLOUT, 0}};
    int wait = result.TimedOut ? drainLimit.RemainingMs() : deadline.RemainingMs();
    int rc = ::poll(p, 3, wait);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc <= 0) {
      if (result.TimedOut)
        break;  // something outside the group still holds the pipes
      result.TimedOut = true;
      ::kill(-pid, SIGKILL);
      drainLimit = Deadline(2000);
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (p[i].revents == 0)
        continue;
      ssize_t n = ::read(p[i].fd, buffer, sizeof buffer);
      if (n > 0)
        (i == 0 ? result.Out : result.Err).append(buffer, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        (i == 0 ? outRead : errRead).Reset();
    }
    if (p[2].revents != 0) {
      ssize_t n = WriteWithoutSigpipe(inWrite.Get(), input);
      if (n > 0)
        input.remove_prefix(static_cast<size_t>(n));
      if (input.empty() || (n < 0 && errno != EAGAIN && errno != EINTR))
        inWrite.Reset();
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // Whatever the child left in its group goes with it.
  ::kill(-pid, SIGKILL);
  if (WIFEXITED(status)) {
    result.ExitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.Signal = WTERMSIG(status);
  }
  return result;
}

std::string ExecutableDir() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0)
    ThrowErrno("readlink /proc/self/exe");
  std::string exe(path, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

void RequireProgram(const std::string& path, const std::string& package) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0)
    throw std::runtime_error(path + " is missing: install the Debian package " + package +
                             " (scripts/install-deps does)");
}

std::vector<pid_t> DescendantsOf(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, ppid) of living processes
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
      continue;
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
    std::istringstream rest(line.substr(line.rfind(')') + 1));
    char state = 0;
    pid_t ppid = 0;
    if (rest >> state >> ppid && state != 'Z')
      parents.emplace_back(std::stoi(name), ppid);
  }
  std::vector<pid_t> found;
  std::vector<pid_t> queue = {root};
  while (!queue.empty()) {
    pid_t parent = queue.back();
    queue.pop_back();
    for (const auto& [pid, ppid] : parents)
      if (ppid == parent) {
        found.push_back(pid);
        queue.push_back(pid);
      }
  }
  return found;
}

void ChildProcess::Start(const std::vector<std::string>& argv, const std::string& stdoutPath,
                         const std::string& stderrPath, const std::string& workingDir) {
  if (FPid > 0)
    throw std::runtime_error("ChildProcess already started");
  if (argv.empty())
    throw std::runtime_error("ChildProcess: no program given");
  UniqueFd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  UniqueFd out(::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out)
    ThrowErrno("cannot create " + stdoutPath);
  UniqueFd err(::open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!err)
    ThrowErrno("cannot create " + stderrPath);
  FPid = SpawnChild(argv, nullptr, in.Get(), out.Get(), err.Get(), workingDir);
  FExitText.clear();
}

bool ChildProcess::Running() {
  if (FPid <= 0)
    return false;
  if (!FExitText.empty())
    return false;
  // WNOWAIT leaves the child a zombie, so its group id cannot be reused before Stop().
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(FPid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
    return true;
  FExitText = info.si_code == CLD_EXITED ? "exit " + std::to_string(info.si_status)
                                         : "signal " + std::to_string(info.si_status);
  return false;
}

void ChildProcess::Stop(int graceMs) {
  if (FPid <= 0)
    return;
  if (Running()) {
    // Servers like vsftpd put each session in a session of its own, outside
    // the group; they are found through their parents while those still live.
    for (pid_t pid : DescendantsOf(FPid))
      ::kill(pid, SIGKILL);
    ::kill(-FPid, SIGTERM);
    Deadline grace(graceMs);
    while (Running() && !grace.Passed())
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Also ends what the server forked for its sessions.
  ::kill(-FPid, SIGKILL);
  int status = 0;
  while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
  }
  if (FExitText.empty())
    FExitText = DescribeStatus(status);
  FPid = -1;
}
