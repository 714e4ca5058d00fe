#include "RealServers.h"

#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#ifndef REMESSA_PYFTPD_SCRIPT
#error "REMESSA_PYFTPD_SCRIPT must name tests/support/pyftpd_server.py"
#endif

namespace {

constexpr int LaunchTries = 5;

std::string ReadIfThere(const std::string& path) {
  try {
    return PathExists(path) ? ReadFile(path) : std::string();
  } catch (const std::exception&) {
    return {};
  }
}

void MakeDir(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  ::chmod(path.c_str(), mode);  // mkdir's mode is masked by the umask
}

}  // namespace

std::string ServerProcess::Log() const {
  std::string log;
  auto add = [&](const std::string& title, const std::string& path) {
    std::string text = ReadIfThere(path);
    if (!text.empty())
      log += "--- " + title + " ---\n" + text + (text.back() == '\n' ? "" : "\n");
  };
  add("stdout", FDir.File("stdout.txt"));
  add("stderr", FDir.File("stderr.txt"));
  if (!FLogFile.empty())
    add("log", FLogFile);
  return log;
}

void ServerProcess::Fail(const std::string& what) const {
  throw std::runtime_error(FName + ": " + what + "\n" + Log());
}

bool ServerProcess::Launch(const std::vector<std::string>& argv, const std::function<bool()>& ready,
                           int timeoutMs) {
  FChild.Start(argv, FDir.File("stdout.txt"), FDir.File("stderr.txt"), FDir.Path());
  Deadline deadline(timeoutMs);
  for (;;) {
    if (!FChild.Running())
      return false;
    bool answered;
    try {
      answered = ready();
    } catch (const std::exception& e) {
      FChild.Stop();
      Fail(std::string("answered wrongly: ") + e.what());
    }
    if (answered)
      return FChild.Running();  // false: another process answered on that port
    if (deadline.Passed()) {
      FChild.Stop();
      Fail("not ready after " + std::to_string(timeoutMs) + " ms");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void ServerProcess::LaunchOnFreePort(const std::function<std::vector<std::string>(int port)>& makeArgv,
                                     const std::function<bool(int port)>& ready) {
  for (int attempt = 1; attempt <= LaunchTries; ++attempt) {
    int port = FindFreePort();
    if (Launch(makeArgv(port), [&] { return ready(port); })) {
      FPort = port;
      return;
    }
    // Most likely another process took the port meanwhile. vsftpd says
    // nothing then (it just exits with 2), so every early exit gets another try.
    std::string exitText = FChild.ExitText();
    FChild.Stop();
    if (attempt == LaunchTries)
      Fail("exited during start-up (" + exitText + ") " + std::to_string(LaunchTries) + " times");
  }
}

bool FtpGreets(int port) { return FtpGreetsAt("127.0.0.1", port); }

bool FtpGreetsAt(const std::string& host, int port) {
  UniqueFd fd;
  if (host.find(':') == std::string::npos) {
    try {
      fd = ConnectTcp(host, port, 1000);
    } catch (const std::exception&) {
      return false;
    }
  } else {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET6, host.c_str(), &sa.sin6_addr) != 1)
      throw std::runtime_error("not an IPv6 address: " + host);
    fd = UniqueFd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0)
      return false;
  }
  std::string line = ReceiveLine(fd.Get(), 5000);
  if (line.rfind("220", 0) != 0)
    throw std::runtime_error(host + ":" + std::to_string(port) + " greeted with '" + line + "'");
  return true;
}

bool Accepts(int port) {
  try {
    ConnectTcp("127.0.0.1", port, 1000);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

PyftpdlibServer::PyftpdlibServer(PyftpdlibOptions options) : ServerProcess("pyftpdlib"), FOptions(std::move(options)) {
  RequireProgram("/usr/bin/python3", "python3");
  std::string script = REMESSA_PYFTPD_SCRIPT;
  if (!PathExists(script))
    throw std::runtime_error("pyftpdlib: the server script " + script + " is missing");
  FRoot = FOptions.Root;
  if (FRoot.empty()) {
    FRoot = FDir.File("root");
    MakeDir(FRoot, 0755);
  }
  FHost = FOptions.Address;
  std::vector<std::string> argv = {"/usr/bin/python3", script, "--root", FRoot, "--port", "0", "--address", FHost};
  if (!FOptions.User.empty())
    argv.insert(argv.end(), {"--user", FOptions.User, "--password", FOptions.Password});
  if (FOptions.Anonymous)
    argv.push_back("--anonymous");
  if (FOptions.PassivePortMin > 0 && FOptions.PassivePortMax >= FOptions.PassivePortMin)
    argv.insert(argv.end(), {"--passive-ports", std::to_string(FOptions.PassivePortMin) + "-" +
                                                    std::to_string(FOptions.PassivePortMax)});
  if (FOptions.RateBytesPerSecond > 0)
    argv.insert(argv.end(), {"--rate", std::to_string(FOptions.RateBytesPerSecond)});
  if (FOptions.CutFirstDownloadAfter >= 0)
    argv.insert(argv.end(), {"--cut-first-download", std::to_string(FOptions.CutFirstDownloadAfter)});
  if (FOptions.Verbose)
    argv.push_back("--verbose");
  if (!FOptions.CertFile.empty())
    argv.insert(argv.end(), {"--certfile", FOptions.CertFile, "--keyfile", FOptions.KeyFile});
  // The script binds port 0 itself and reports the port on stdout.
  auto ready = [&] {
    std::string out = ReadIfThere(FDir.File("stdout.txt"));
    size_t at = out.find("PORT ");
    size_t end = out.find('\n', at);
    if (at == std::string::npos || end == std::string::npos)
      return false;
    FPort = std::stoi(out.substr(at + 5, end - at - 5));
    return FtpGreetsAt(FHost, FPort);
  };
  if (!Launch(argv, ready))
    Fail("exited during start-up (" + FChild.ExitText() + "); is python3-pyftpdlib installed?");
}

std::string PyftpdlibServer::Url(const std::string& path) const {
  std::string account = FOptions.User.empty() ? "anonymous:test" : FOptions.User + ":" + FOptions.Password;
  const std::string host = FHost.find(':') == std::string::npos ? FHost : "[" + FHost + "]";
  return "ftp://" + account + "@" + host + ":" + std::to_string(FPort) + path;
}

VsftpdServer::VsftpdServer(VsftpdOptions options) : ServerProcess("vsftpd") {
  RequireProgram("/usr/sbin/vsftpd", "vsftpd");
  const passwd* ftp = ::getpwnam("ftp");
  if (!ftp)
    throw std::runtime_error("vsftpd: the system user 'ftp' is missing (the vsftpd package creates it)");
  if (::geteuid() != 0)
    throw std::runtime_error("vsftpd: the launcher runs vsftpd as root, and this test is not root");
  // vsftpd refuses a root that its unprivileged user could write to, and
  // needs an empty folder owned by root for its own chroot.
  FRoot = FDir.File("root");
  MakeDir(FRoot, 0555);
  MakeDir(UploadDir(), 0755);
  if (::chown(UploadDir().c_str(), ftp->pw_uid, ftp->pw_gid) != 0)
    throw std::runtime_error("vsftpd: cannot give " + UploadDir() + " to the ftp user");
  MakeDir(FDir.File("empty"), 0755);
  FLogFile = FDir.File("vsftpd.log");

  if (options.IPv6)
    FHost = "::1";
  auto makeArgv = [&](int port) {
    std::string config =
        std::string(options.IPv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6=::1\n"
                                 : "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n") +
        "listen_port=" + std::to_string(port) + "\n"
        "background=NO\n"
        "run_as_launching_user=NO\n"
        "seccomp_sandbox=NO\n"
        "secure_chroot_dir=" + FDir.File("empty") + "\n"
        "anonymous_enable=YES\n"
        "local_enable=NO\n"
        "write_enable=YES\n"
        "anon_root=" + FRoot + "\n"
        "anon_upload_enable=YES\n"
        "anon_mkdir_write_enable=YES\n"
        "anon_other_write_enable=YES\n"
        "anon_umask=022\n"
        "ftp_username=ftp\n"
        "hide_ids=NO\n"
        "pasv_enable=YES\n"
        "port_enable=YES\n"
        "connect_from_port_20=NO\n"
        "syslog_enable=NO\n"
        "xferlog_enable=YES\n"
        "xferlog_std_format=NO\n"
        "log_ftp_protocol=YES\n"
        "vsftpd_log_file=" + FLogFile + "\n";
    if (options.PassivePortMin > 0 && options.PassivePortMax >= options.PassivePortMin)
      config += "pasv_min_port=" + std::to_string(options.PassivePortMin) + "\npasv_max_port=" +
                std::to_string(options.PassivePortMax) + "\n";
    if (!options.CertFile.empty()) {
      // The force_local_* lines hold for accounts; these sessions are
      // anonymous, which the force_anon_* lines hold for.
      config +=
          "ssl_enable=YES\n"
          "allow_anon_ssl=YES\n"
          "force_anon_logins_ssl=YES\n"
          "force_anon_data_ssl=YES\n"
          "force_local_logins_ssl=YES\n"
          "force_local_data_ssl=YES\n"
          "require_ssl_reuse=YES\n"
          "strict_ssl_read_eof=YES\n"
          // vsftpd's own default list is DES-CBC3-SHA, which OpenSSL 3 no longer offers.
          "ssl_ciphers=HIGH\n"
          "rsa_cert_file=" + options.CertFile + "\n"
          "rsa_private_key_file=" + options.KeyFile + "\n";
      if (options.ImplicitTLS)
        config += "implicit_ssl=YES\n";
    }
    for (const std::string& line : options.ExtraConfig)
      config += line + "\n";
    WriteFile(FDir.File("vsftpd.conf"), config);
    return std::vector<std::string>{"/usr/sbin/vsftpd", FDir.File("vsftpd.conf")};
  };
  // With implicit TLS the greeting comes only after a handshake.
  if (options.ImplicitTLS)
    LaunchOnFreePort(makeArgv, Accepts);
  else
    LaunchOnFreePort(makeArgv, [this](int port) { return FtpGreetsAt(FHost, port); });
}

std::string VsftpdServer::Url(const std::string& path) const {
  const std::string host = FHost.find(':') == std::string::npos ? FHost : "[" + FHost + "]";
  return "ftp://anonymous:test@" + host + ":" + std::to_string(FPort) + path;
}

void EnsureSystemUser(const std::string& user, const std::string& password) {
  if (::geteuid() != 0)
    throw std::runtime_error("creating the system user '" + user + "' needs root");
  if (!::getpwnam(user.c_str())) {
    ProcessResult added =
        RunProcess({"/usr/sbin/useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", user});
    // Exit 9: another test created it meanwhile.
    if (added.ExitCode != 0 && added.ExitCode != 9)
      throw std::runtime_error("useradd " + user + " failed (" + added.Describe() + "): " + added.Err);
  }
  RunOptions input;
  input.Input = user + ":" + password + "\n";
  ProcessResult changed = RunProcess({"/usr/sbin/chpasswd"}, input);
  if (changed.ExitCode != 0)
    throw std::runtime_error("chpasswd for " + user + " failed (" + changed.Describe() + "): " + changed.Err);
}

DanteServer::DanteServer(SocksServerOptions options) : ServerProcess("danted") {
  RequireProgram("/usr/sbin/danted", "dante-server");
  const bool auth = !options.Username.empty();
  if (auth)
    EnsureSystemUser(options.Username, options.Password);
  auto makeArgv = [&](int port) {
    // Dante's parser wants one keyword per line inside the rule blocks.
    std::string config =
        "logoutput: stderr\n"
        "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
        "external: 127.0.0.1\n"
        "clientmethod: none\n"
        "socksmethod: " + std::string(auth ? "username" : "none") + "\n"
        "user.privileged: root\n"
        "user.unprivileged: nobody\n"
        "client pass {\n"
        "  from: 127.0.0.0/8 to: 0.0.0.0/0\n"
        "  log: error\n"
        "}\n"
        "socks pass {\n"
        "  from: 127.0.0.0/8 to: 127.0.0.0/8\n"
        "  command: connect\n"
        "  log: error\n"
        "}\n";
    WriteFile(FDir.File("danted.conf"), config);
    return std::vector<std::string>{"/usr/sbin/danted", "-f", FDir.File("danted.conf"), "-p",
                                    FDir.File("danted.pid"), "-N", "1"};
  };
  LaunchOnFreePort(makeArgv, Accepts);
}

MicrosocksServer::MicrosocksServer(SocksServerOptions options) : ServerProcess("microsocks") {
  RequireProgram("/usr/bin/microsocks", "microsocks");
  auto makeArgv = [&](int port) {
    std::vector<std::string> argv = {"/usr/bin/microsocks", "-i", "127.0.0.1", "-p", std::to_string(port)};
    if (!options.Username.empty())
      argv.insert(argv.end(), {"-u", options.Username, "-P", options.Password});
    return argv;
  };
  LaunchOnFreePort(makeArgv, Accepts);
}
