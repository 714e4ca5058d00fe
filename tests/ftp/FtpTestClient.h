// An FTP client for the tests that records, from its own side and in order,
// the lines it sends on the control connection (">PASV"), its transfer
// status reports ("*Transfer complete") and its work events.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NetAntiFreezeBase.h"
#include "NetExceptions.h"
#include "NetFTP.h"

// What the client sends to log in to a scripted server, in order.
inline const std::vector<std::string> kLogin = {"USER user", "PASS secret", "TYPE I", "SYST"};

// A transcript followed by more lines.
inline std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct FtpTestClient {
  explicit FtpTestClient(int port, bool passive = true, const std::string& user = "user",
                         const std::string& password = "secret") {
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.Username = user;
    ftp.Password = password;
    ftp.Passive = passive;
    tap.OnSend = [this](TNetConnectionIntercept*, TNetMemoryStream& block) {
      std::string text(block.Memory(), static_cast<size_t>(block.Size()));
      for (size_t end; (end = text.find("\r\n")) != std::string::npos; text.erase(0, end + 2))
        log.push_back(">" + text.substr(0, end));
    };
    ftp.SetIntercept(&tap);
    ftp.OnStatus = [this](TNetBaseComponent*, TNetStatus status, const std::string& text) {
      statuses.push_back(text);
      if (status == ftpTransfer || status == ftpReady || status == ftpAborted) {
        log.push_back("*" + text);
        // The reply last read when the report was made: shows whether the
        // final reply was read before or after it.
        replyAtStatus.push_back(ftp.LastReply.NumericCode());
      }
    };
    ftp.OnWorkBegin = [this](TNetBaseComponent* sender, TWorkMode mode, int64_t max) {
      workSender = sender;
      work.push_back((mode == wmRead ? "begin read " : "begin write ") + std::to_string(max));
    };
    ftp.OnWork = [this](TNetBaseComponent*, TWorkMode, int64_t count) {
      lastWork = count;
      ++workEvents;
      if (onWork) onWork(count);
    };
    ftp.OnWorkEnd = [this](TNetBaseComponent*, TWorkMode mode) {
      work.push_back(mode == wmRead ? "end read" : "end write");
      if (onWorkEnd) onWorkEnd();
    };
  }
  ~FtpTestClient() { ftp.SetIntercept(nullptr); }
  FtpTestClient(const FtpTestClient&) = delete;
  FtpTestClient& operator=(const FtpTestClient&) = delete;

  void Open() { ftp.OpenSession(true, DefaultTimeLimit); }
  // The log from here on only.
  void ClearLog() {
    log.clear();
    replyAtStatus.clear();
    work.clear();
    workEvents = 0;
    lastWork = 0;
  }

  TNetFTP ftp;
  TNetConnectionIntercept tap;
  std::vector<std::string> log;
  std::vector<std::string> statuses;  // every status text, connection ones included
  std::vector<int> replyAtStatus;
  std::vector<std::string> work;
  TNetBaseComponent* workSender = nullptr;
  int64_t lastWork = 0;
  int64_t workEvents = 0;
  std::function<void(int64_t)> onWork;
  std::function<void()> onWorkEnd;
};

// An anti-freeze whose "message pump" runs a test's code, the way a window's
// button handler runs inside a blocked network call.
class TestAntiFreeze : public TNetAntiFreezeBase {
 public:
  TestAntiFreeze() { IdleTimeOut = 50; }
  std::string ClassName() const override { return "TestAntiFreeze"; }
  void PumpMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  std::function<void()> onPump;
  int pumps = 0;
};

// The message of the exception a call raises, with its class checked.
template <class E, class F>
std::string MessageOf(F&& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing raised)";
}
