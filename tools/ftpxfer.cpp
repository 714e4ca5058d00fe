// ftpxfer: a headless driver of the FTP client for tests and benchmarks.
//
//   ftpxfer [options] COMMAND [ARGS]
//
// Options: --host H --port P --user U --password W (defaults 127.0.0.1, 21,
// anonymous, empty; the host may be an IPv6 address, "::1" or "[::1]"),
// --active (default passive), --ascii (default binary), --recv-buffer N and
// --send-buffer N (bytes per receive and per send; defaults 1 MiB and
// 64 KiB), --quiet, --format, --no-epsv, --no-mlsd, --idle-timeout SECONDS
// (default 60; 0 waits without limit): the longest wait for a reply, for
// the next byte of a transfer, for the server's data connection in active
// mode;
// --help and --version print to standard output, exit 0 and connect to nothing.
// The session asks FEAT after the login (and OPTS UTF8 ON when the server
// lists UTF8; names are passed through as they are either way) and tries
// EPSV before PASV; --no-epsv keeps to PASV (and to PORT in active mode) over
// IPv4, where both still work.
// Commands: get REMOTE LOCAL [--resume] [--overwrite] (a local copy is
// resumed only when the record that a download keeps beside it while it runs
// matches the server's file; --resume downloads any other copy afresh, and
// without either option an existing copy is refused); put LOCAL REMOTE
// [--append]; list [DIR]; nlst [DIR]; size NAME; mtime NAME; pwd; cd DIR;
// mkdir NAME; rmdir NAME; delete NAME; raw "COMMAND"; parse-listing FILE.
// Where the server lists MLST among its features, "list" goes by MLSD and
// "size" and "mtime" by MLST, unless --no-mlsd keeps to LIST, SIZE and MDTM.
//
// A SOCKS proxy: --socks4 HOST:PORT, --socks4a HOST:PORT or --socks5
// HOST:PORT, with --socks-user U (the SOCKS 4 user id; for SOCKS 5 it, or
// --socks-password W, asks for user name and password authentication),
// handed to the client's UseSocksProxy before OpenSession: every passive
// data connection goes through the same proxy to the same destination, and
// TLS runs above the proxy's handshake.
// An FTP proxy: --proxy-type KIND (fpcmNone, fpcmUserSite, fpcmSite,
// fpcmOpen, fpcmUserPass, fpcmTransparent, fpcmHttpProxyWithFtp)
// --proxy-host H --proxy-port P --proxy-user U --proxy-password W, copied
// into the client's ProxySettings; --host and --port still name the server.
//
// FTP over TLS: --tls off|auto|required|implicit (default auto: "AUTH TLS",
// and clear text when the server refuses it; implicit without --port uses
// port 990), --ca-file FILE (PEM authorities trusted besides the system's),
// --trust-fingerprint SHA256:HEX (a certificate accepted for this run
// although it does not verify; 64 hex digits, colons allowed, either case;
// may be repeated). Nothing of it is written anywhere.
// Options stand anywhere on the line; a malformed value is a usage error,
// found before anything connects.
// Every binary get and put is checked: the server's size ("SIZE") and, where
// the server offers one, its digest of the file must match the local file,
// or the command fails. --receipt FILE appends one JSON line per get or put
// to FILE (created when missing): sizes, the local file's SHA-256, the
// server's size, time and digest, the result. Control and data connections
// send TCP keepalive probes (after 30 s without traffic, then every 10 s).
//
// Status texts and progress go to standard error unless --quiet. Exit status
// 0 on success; on a failure the exception's class name and message go to
// standard error and the exit status is 1 (2 for a usage error).
#include <cxxabi.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "ListingPrinter.h"
#include "NetExceptions.h"
#include "NetFTP.h"
#include "NetFTPResumeRecord.h"
#include "RemessaVersion.h"

namespace {

// ftpxfer receives in 1 MiB blocks, not in the library's 32 KiB: on a fast
// link every receive and file write then moves 32 times as much, so their
// fixed costs all but vanish. Uploads read and send 64 KiB at a time: a
// block that small is still in the processor's cache when the send copies
// it, and against a server on the loopback it measured a quarter faster than
// 1 MiB (0.43 s per GiB against 0.57 s; 128 KiB 0.44 s). The memory this
// takes is a few MiB whatever the file's size.
constexpr int32_t kRecvBlockSize = 1048576;
constexpr int32_t kSendBlockSize = 65536;

struct Options {
  std::string host = "127.0.0.1";
  int32_t port = 21;
  bool portGiven = false;
  TNetFTPTLSMode tls = tlsAuto;
  std::string caFile;
  std::vector<std::string> fingerprints;  // canonical forms
  std::string user = "anonymous";
  std::string password;
  bool active = false;
  bool ascii = false;
  bool epsv = true;
  int32_t recvBuffer = kRecvBlockSize;
  int32_t sendBuffer = kSendBlockSize;
  int32_t idleTimeoutSeconds = 60;
  bool quiet = false;
  bool noMlsd = false;
  bool format = false;
  bool resume = false;
  bool overwrite = false;
  bool append = false;
  std::string receipt;  // empty: no receipt
  TNetSocksSettings socks;  // Version svNoSocks: no SOCKS proxy
  TNetFtpProxySettings ftpProxy;
  std::vector<std::string> words;  // the command and its arguments
};

void PrintUsage(std::ostream& out) {
  out << "usage: ftpxfer [--host H] [--port P] [--user U] [--password W] [--active] [--ascii]\n"
      << "               [--recv-buffer N] [--send-buffer N] [--quiet] [--format] [--no-epsv] [--no-mlsd]\n"
      << "               [--idle-timeout SECONDS]\n"
      << "               [--tls off|auto|required|implicit] [--ca-file FILE] [--trust-fingerprint SHA256:HEX]...\n"
      << "               [--socks4 | --socks4a | --socks5 HOST:PORT] [--socks-user U] [--socks-password W]\n"
      << "               [--proxy-type KIND] [--proxy-host H] [--proxy-port P] [--proxy-user U]\n"
      << "               [--proxy-password W] [--receipt FILE] COMMAND [ARGS]\n"
      << "commands: get REMOTE LOCAL [--resume] [--overwrite] | put LOCAL REMOTE [--append] |\n"
      << "          list [DIR] | nlst [DIR] | size NAME | mtime NAME | pwd | cd DIR | mkdir NAME | rmdir NAME |\n"
      << "          delete NAME | raw \"COMMAND\" | parse-listing FILE\n"
      << "       ftpxfer --help | --version\n"
      << "--tls defaults to auto (TLS when the server offers it); implicit uses port 990 unless --port is given.\n";
}

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "ftpxfer: " << problem << "\n";
  PrintUsage(std::cerr);
  std::exit(2);
}

TNetFTPTLSMode TLSModeNamed(const std::string& AName) {
  if (AName == "off") return tlsOff;
  if (AName == "auto") return tlsAuto;
  if (AName == "required") return tlsRequired;
  if (AName == "implicit") return tlsImplicit;
  Usage("--tls takes off, auto, required or implicit, not " + AName);
}

const char* const kProxyTypeNames[] = {"fpcmNone",     "fpcmUserSite",    "fpcmSite",
                                       "fpcmOpen",     "fpcmUserPass",    "fpcmTransparent",
                                       "fpcmHttpProxyWithFtp"};

TNetFtpProxyType ProxyTypeNamed(const std::string& AName) {
  for (int i = 0; i <= fpcmHttpProxyWithFtp; ++i)
    if (AName == kProxyTypeNames[i]) return static_cast<TNetFtpProxyType>(i);
  Usage("unknown proxy type " + AName);
}

Options Parse(int argc, char** argv) {
  Options o;
  auto value = [&](int& i) -> std::string {
    if (i + 1 >= argc) Usage(std::string(argv[i]) + " needs a value");
    return argv[++i];
  };
  auto number = [&](int& i) {
    const std::string text = value(i);
    int32_t n;
    if (!TryStrToInt(text, n)) Usage("not a number: " + text);
    return n;
  };
  // Whole seconds from 0; the client counts milliseconds in 32 bits.
  auto seconds = [&](int& i) {
    const std::string text = value(i);
    int32_t n;
    if (!TryStrToInt(text, n) || n < 0 || n > 2147483) Usage("not a number of seconds from 0 to 2147483: " + text);
    return n;
  };
  // HOST:PORT, split at the last colon.
  auto socks = [&](int& i, TSocksVersion AVersion) {
    const std::string text = value(i);
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || !TryStrToInt(text.substr(colon + 1), o.socks.Port))
      Usage("not HOST:PORT: " + text);
    o.socks.Host = text.substr(0, colon);
    o.socks.Version = AVersion;
  };
  // --help and --version win wherever they stand, whatever else is wrong.
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") {
      PrintUsage(std::cout);
      std::exit(0);
    }
    if (a == "--version") {
      std::cout << "ftpxfer " << REMESSA_VERSION << "\n";
      std::exit(0);
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--host") o.host = value(i);
    else if (a == "--port") {
      o.port = number(i);
      if (o.port < 1 || o.port > 65535) Usage("not a port: " + std::to_string(o.port));
      o.portGiven = true;
    }
    else if (a == "--tls") o.tls = TLSModeNamed(value(i));
    else if (a == "--ca-file") {
      o.caFile = value(i);
      // Loaded once here, so that a file that is not PEM is a usage error too.
      try {
        TNetTLSContext check(o.caFile);
      } catch (const ENetTLSError& e) {
        Usage(e.what());
      }
    }
    else if (a == "--trust-fingerprint") {
      const std::string text = value(i);
      std::string fingerprint;
      if (!ParseFingerprint(text, fingerprint)) Usage("not SHA256: and 64 hex digits: " + text);
      o.fingerprints.push_back(fingerprint);
    }
    else if (a == "--user") o.user = value(i);
    else if (a == "--password") o.password = value(i);
    else if (a == "--active") o.active = true;
    else if (a == "--ascii") o.ascii = true;
    else if (a == "--no-epsv") o.epsv = false;
    else if (a == "--recv-buffer") o.recvBuffer = number(i);
    else if (a == "--send-buffer") o.sendBuffer = number(i);
    else if (a == "--idle-timeout") o.idleTimeoutSeconds = seconds(i);
    else if (a == "--quiet") o.quiet = true;
    else if (a == "--format") o.format = true;
    else if (a == "--no-mlsd") o.noMlsd = true;
    else if (a == "--resume") o.resume = true;
    else if (a == "--overwrite") o.overwrite = true;
    else if (a == "--append") o.append = true;
    else if (a == "--receipt") {
      o.receipt = value(i);
      if (o.receipt.empty()) Usage("--receipt needs a file name");
    }
    else if (a == "--socks4") socks(i, svSocks4);
    else if (a == "--socks4a") socks(i, svSocks4A);
    else if (a == "--socks5") socks(i, svSocks5);
    else if (a == "--socks-user") o.socks.Username = value(i);
    else if (a == "--socks-password") o.socks.Password = value(i);
    else if (a == "--proxy-type") o.ftpProxy.ProxyType = ProxyTypeNamed(value(i));
    else if (a == "--proxy-host") o.ftpProxy.Host = value(i);
    else if (a == "--proxy-port") o.ftpProxy.Port = number(i);
    else if (a == "--proxy-user") o.ftpProxy.UserName = value(i);
    else if (a == "--proxy-password") o.ftpProxy.Password = value(i);
    else if (a.size() > 2 && a.compare(0, 2, "--") == 0) Usage("unknown option " + a);
    else o.words.push_back(a);
  }
  if (o.words.empty()) Usage("no command");
  if (!o.receipt.empty() && o.words[0] != "get" && o.words[0] != "put") Usage("--receipt is for get and put");
  if (o.tls == tlsImplicit && !o.portGiven) o.port = 990;
  return o;
}

std::string ClassNameOf(const std::exception& e) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, &status),
                                              std::free);
  return status == 0 && name ? name.get() : typeid(e).name();
}

// Progress on standard error, at most a few times a second.
class Progress {
 public:
  void Begin(int64_t max) {
    max_ = max;
    start_ = last_ = Clock::now();
  }
  void Work(int64_t count) {
    count_ = count;
    const auto now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(500)) return;
    last_ = now;
    Print(false);
  }
  void End() { Print(true); }

 private:
  using Clock = std::chrono::steady_clock;
  void Print(bool final) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = seconds > 0 ? static_cast<double>(count_) / seconds / 1048576.0 : 0.0;
    if (max_ > 0)
      std::fprintf(stderr, "%lld of %lld bytes, %.1f MiB/s%s", static_cast<long long>(count_),
                   static_cast<long long>(max_), rate, final ? "\n" : "\r");
    else
      std::fprintf(stderr, "%lld bytes, %.1f MiB/s%s", static_cast<long long>(count_), rate, final ? "\n" : "\r");
  }
  int64_t max_ = 0;
  int64_t count_ = 0;
  Clock::time_point start_, last_;
};

void Need(const Options& o, size_t count) {
  if (o.words.size() - 1 < count) Usage(o.words[0] + " needs " + std::to_string(count) + " argument(s)");
}

// The receipt file must take a line before anything is transferred: opened
// for appending (created when missing) and closed again.
void CheckReceiptFile(const std::string& AFileName) {
  const int fd = ::open(AFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw EFOpenError(AFileName, std::strerror(errno));
  ::close(fd);
}

// The transfer's receipt, appended whether it succeeded or failed.
// The names come from the command, so that a get refused before the
// transfer began (the local file exists) has them too.
void WriteReceipt(const Options& o, TNetFTP& ftp, const std::string& ALocal, const std::string& AError) {
  TNetFTPReceipt receipt = ftp.LastTransfer();
  const bool get = o.words[0] == "get";
  receipt.Download = get;
  receipt.Server = ServerOfReceipt(ftp.Host, ftp.Port);
  receipt.RemotePath = get ? o.words[1] : o.words[2];
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(ALocal, ignored);
  receipt.LocalPath = absolute.empty() ? ALocal : absolute.string();
  FinishReceipt(receipt, AError);
  AppendReceipt(o.receipt, receipt);
}

// get under the resume record's rule (NetFTPResumeRecord.h).
void Get(TNetFTP& ftp, const Options& o) {
  const std::string& local = o.words[2];
  // Refused before anything is sent.
  if (FileExists(local) && !o.resume && !o.overwrite) throw ENetFTPFileAlreadyExists();
  TNetRecordedDownload download(ftp, o.words[1], local);
  download.Prepare();
  const bool resume = o.resume && download.Resumable();
  if (o.resume && !resume && download.LocalSize() && !o.quiet) std::cerr << download.FreshReason() << "\n";
  download.Run(resume);
}

int Run(const Options& o) {
  const std::string& command = o.words[0];
  if (!o.receipt.empty()) CheckReceiptFile(o.receipt);
  if (command == "parse-listing") {
    Need(o, 1);
    return RunParseListing(o.words[1], o.format, std::cout);
  }

  TNetFTP ftp;
  Progress progress;
  ftp.Host = o.host;
  ftp.Port = o.port;
  ftp.Username = o.user;
  ftp.Password = o.password;
  ftp.Passive = !o.active;
  ftp.UseFEAT = true;
  ftp.UseEPSV = o.epsv;
  ftp.UseMLSD = !o.noMlsd;
  ftp.SetTransferType(o.ascii ? ftASCII : ftBinary);
  ftp.VerifyTransfers = true;
  ftp.RecordTransfers = !o.receipt.empty();
  ftp.KeepAlive = true;
  if (o.recvBuffer > 0) ftp.RecvBufferSize = o.recvBuffer;
  if (o.sendBuffer > 0) ftp.SendBufferSize = o.sendBuffer;
  ftp.IdleTimeout = o.idleTimeoutSeconds * 1000;
  ftp.ReadTimeout = ftp.IdleTimeout;
  if (!o.quiet) {
    ftp.OnStatus = [](TNetBaseComponent*, TNetStatus, const std::string& text) { std::cerr << text << "\n"; };
    ftp.OnWorkBegin = [&](TNetBaseComponent*, TWorkMode, int64_t max) { progress.Begin(max); };
    ftp.OnWork = [&](TNetBaseComponent*, TWorkMode, int64_t count) { progress.Work(count); };
    ftp.OnWorkEnd = [&](TNetBaseComponent*, TWorkMode) { progress.End(); };
  }
  ftp.SetProxySettings(o.ftpProxy);
  ftp.TLSMode = o.tls;
  ftp.TLSTrust.CAFile = o.caFile;
  // The certificate is the one of the host the control connection reaches:
  // the FTP proxy when one is used, else the server.
  const bool viaFtpProxy = o.ftpProxy.ProxyType != fpcmNone && !o.ftpProxy.Host.empty();
  for (const std::string& fingerprint : o.fingerprints)
    ftp.TLSTrust.TrustFingerprint(viaFtpProxy ? o.ftpProxy.Host : o.host, viaFtpProxy ? o.ftpProxy.Port : o.port,
                                  fingerprint);
  if (o.socks.Version != svNoSocks) {
    TNetSocksSettings socks = o.socks;
    if (!socks.Username.empty() || !socks.Password.empty()) socks.Authentication = saUsernamePassword;
    ftp.UseSocksProxy(socks);
  }

  ftp.OpenSession(true, DefaultTimeLimit);
  const std::string arg1 = o.words.size() > 1 ? o.words[1] : std::string();
  if (command == "get" || command == "put") {
    Need(o, 2);
    const bool get = command == "get";
    const std::string& local = get ? o.words[2] : o.words[1];
    try {
      if (get)
        Get(ftp, o);
      else
        ftp.Store(o.words[1], o.words[2], o.append);
    } catch (const std::exception& e) {
      // Caught to put the failure on the receipt; it goes on unchanged, also
      // when the receipt cannot be written (that is said first).
      try {
        if (!o.receipt.empty()) WriteReceipt(o, ftp, local, e.what());
      } catch (const std::exception& receiptFailure) {
        std::cerr << "ftpxfer: the receipt could not be written: " << receiptFailure.what() << "\n";
      }
      throw;
    }
    if (!o.receipt.empty()) WriteReceipt(o, ftp, local, "");
  } else if (command == "list") {
    if (!arg1.empty()) ftp.ChangeDirectory(arg1);
    ftp.ListDirectory(nullptr, "", true);
    TNetFTPListItems& items = ftp.ParsedListing();
    if (o.format) std::cout << "# format " << ListFormatName(items.ListingFormat) << "\n";
    for (int64_t i = 0; i < items.Count(); ++i) std::cout << FormatListEntry(items.Items(i)) << "\n";
  } else if (command == "nlst") {
    ftp.ListDirectory(nullptr, arg1, false);
    for (const std::string& line : ftp.ListingLines()) std::cout << line << "\n";
  } else if (command == "mtime") {
    Need(o, 1);
    const TDateTime modified = ftp.FileModified(arg1);
    std::cout << (modified == 0 ? std::string() : FormatListEntryTime(modified)) << "\n";
  } else if (command == "size") {
    Need(o, 1);
    std::cout << ftp.FileSize(arg1) << "\n";
  } else if (command == "pwd") {
    std::cout << ftp.CurrentDirectory() << "\n";
  } else if (command == "cd") {
    Need(o, 1);
    ftp.ChangeDirectory(arg1);
    std::cout << ftp.CurrentDirectory() << "\n";
  } else if (command == "mkdir") {
    Need(o, 1);
    ftp.MakeDirectory(arg1);
  } else if (command == "rmdir") {
    Need(o, 1);
    ftp.RemoveDirectory(arg1);
  } else if (command == "delete") {
    Need(o, 1);
    ftp.RemoveFile(arg1);
  } else if (command == "raw") {
    Need(o, 1);
    const int16_t code = ftp.RawCommand(arg1);
    std::cout << code;
    for (const std::string& line : ftp.LastReply.Text) std::cout << " " << line << "\n";
    if (ftp.LastReply.Text.empty()) std::cout << "\n";
  } else {
    Usage("unknown command " + command);
  }
  ftp.Quit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  try {
    return Run(options);
  } catch (const std::exception& e) {
    std::cerr << ClassNameOf(e) << ": " << e.what() << "\n";
    return 1;
  }
}
