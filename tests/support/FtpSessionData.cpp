// The data connections of a scripted FTP session: setting them up for PASV
// and PORT, sending downloads, receiving uploads, and the abort exchange.
#include "FtpSessionImpl.h"

#include "Sha256.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>

namespace {

// How long a data connection that broke off waits for the client's "ABOR". A
// client writes ABOR before it closes the data socket, so on loopback the line
// is normally there already; an upload that simply ended does not wait at all.
constexpr int AbortGraceMs = 200;

// Some clients put Telnet "interrupt process" and "synch" (IAC IP IAC DM)
// before ABOR; they are not part of the verb.
bool IsAbortLine(const std::string& line) {
  size_t start = 0;
  while (start + 1 < line.size() && static_cast<unsigned char>(line[start]) == 0xff)
    start += 2;
  std::string verb = line.substr(start, 4);
  for (char& c : verb)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return verb == "ABOR" && (line.size() == start + 4 || line[start + 4] == ' ');
}

}  // namespace

FtpSessionImpl::ControlEvent FtpSessionImpl::ScanPendingLines() {
  size_t end;
  while ((end = FPending.find('\n')) != std::string::npos) {
    std::string line = FPending.substr(0, end);
    FPending.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    Record(line);
    if (IsAbortLine(line))
      return ControlEvent::Abort;
    FDeferred.push_back(line);
  }
  return ControlEvent::Nothing;
}

FtpSessionImpl::ControlEvent FtpSessionImpl::ReadControlDuringTransfer() {
  std::string chunk;
  try {
    chunk = ReceiveSome(FControl.Get());
  } catch (const std::exception&) {
    chunk.clear();
  }
  if (chunk.empty())
    return ControlEvent::Closed;
  {
    std::lock_guard lock(FServer.FMutex);
    FServer.FSessions[FIndex].Raw += chunk;
  }
  FPending += chunk;
  return ScanPendingLines();
}

FtpSessionImpl::ControlEvent FtpSessionImpl::WatchControl(int ms) {
  if (Closed())
    return ControlEvent::Closed;
  pollfd p[2] = {{FControl.Get(), POLLIN, 0}, {FServer.FListener.StopFd(), POLLIN, 0}};
  int rc = ::poll(p, 2, ms);
  if (rc > 0 && p[0].revents != 0)
    return ReadControlDuringTransfer();
  if (rc > 0)
    throw FtpSessionStopped{};
  return ControlEvent::Nothing;
}

void FtpSessionImpl::CloseData(bool reset) {
  if (FData && reset)
    SetLingerZero(FData.Get());
  else if (FData)
    ::shutdown(FData.Get(), SHUT_WR);
  FData.Reset();
}

void FtpSessionImpl::SendAbortReplies(const FtpTransferOptions& options) {
  CloseData();
  for (const FtpReply& reply : options.AbortReplies)
    SendReply(reply);
}

bool FtpSessionImpl::AbortFollows(int graceMs) {
  CloseData();
  if (ScanPendingLines() == ControlEvent::Abort)
    return true;
  return WatchControl(graceMs) == ControlEvent::Abort;
}

bool FtpSessionImpl::OpenData(const FtpTransferOptions& options, const FtpReply& preliminary) {
  if (FMode == DataMode::None) {
    SendReply("425 Use PORT or PASV first.");
    return false;
  }
  DataMode mode = FMode;
  FMode = DataMode::None;  // one transfer per PASV or PORT
  if (mode == DataMode::Active) {
    try {
      FData = ConnectTcp(FPortAddress.Host, FPortAddress.Port, FServer.FTimeoutMs);
    } catch (const std::exception&) {
      SendReply("425 Failed to establish connection.");
      return false;
    }
    SendReply(preliminary);
    return !Closed();
  }

  // Passive: wait for the client's connection while watching the control
  // connection, where the client may give up with ABOR or close.
  auto acceptData = [&]() -> ControlEvent {
    if (ControlEvent e = ScanPendingLines(); e != ControlEvent::Nothing)
      return e;
    Deadline deadline(FServer.FTimeoutMs);
    while (!Closed()) {
      pollfd p[3] = {{FPasvListen.Get(), POLLIN, 0}, {FControl.Get(), POLLIN, 0}, {FServer.FListener.StopFd(), POLLIN, 0}};
      int rc = ::poll(p, 3, deadline.RemainingMs());
      if (rc < 0 && errno == EINTR)
        continue;
      if (rc <= 0)
        return ControlEvent::Nothing;  // time-out: no data connection
      if (p[0].revents != 0) {
        FData = AcceptWithin(FPasvListen.Get(), 0);
        FPasvListen.Reset();
        return ControlEvent::Nothing;
      }
      if (p[1].revents != 0) {
        if (ControlEvent e = ReadControlDuringTransfer(); e != ControlEvent::Nothing)
          return e;
        continue;
      }
      throw FtpSessionStopped{};
    }
    return ControlEvent::Closed;
  };
  if (!options.AcceptBeforePreliminary) {
    SendReply(preliminary);
    if (Closed())
      return false;
  }
  ControlEvent event = acceptData();
  if (event == ControlEvent::Closed) {
    Close();
    return false;
  }
  if (event == ControlEvent::Abort) {
    SendAbortReplies(options);
    return false;
  }
  if (!FData) {
    SendReply("425 Failed to establish connection.");
    return false;
  }
  if (options.AcceptBeforePreliminary)
    SendReply(preliminary);
  return !Closed();
}

void FtpSessionImpl::Download(const FileEntry& file, int64_t start, const FtpTransferOptions& options,
                              const FtpReply& preliminary) {
  if (!OpenData(options, preliminary)) {
    CloseData();
    return;
  }
  const size_t chunkSize = options.ChunkSize > 0 ? options.ChunkSize : 65536;
  const int64_t size = file.Size();
  int64_t position = start;
  int64_t sent = 0;
  std::string chunk;
  size_t chunkDone = 0;
  if (ControlEvent e = ScanPendingLines(); e == ControlEvent::Abort) {
    SendAbortReplies(options);
    return;
  }
  for (;;) {
    if (chunkDone == chunk.size()) {
      if (!chunk.empty() && options.ChunkPauseMs > 0) {
        ControlEvent e = WatchControl(options.ChunkPauseMs);
        if (e == ControlEvent::Abort)
          return SendAbortReplies(options);
        if (e == ControlEvent::Closed)
          return Close();
      }
      if (options.CloseControlAfter >= 0 && sent >= options.CloseControlAfter)
        return Close();
      if (options.DropDataAfter >= 0 && sent >= options.DropDataAfter) {
        CloseData(options.ResetData);
        return SendReply(options.Final);
      }
      if (position >= size)
        break;
      int64_t count = std::min<int64_t>(static_cast<int64_t>(chunkSize), size - position);
      if (options.CloseControlAfter >= 0)
        count = std::min(count, options.CloseControlAfter - sent);
      if (options.DropDataAfter >= 0)
        count = std::min(count, options.DropDataAfter - sent);
      chunk = file.Slice(position, static_cast<size_t>(count));
      chunkDone = 0;
      position += count;
    }
    pollfd p[3] = {{FControl.Get(), POLLIN, 0}, {FData.Get(), POLLOUT, 0}, {FServer.FListener.StopFd(), POLLIN, 0}};
    int rc = ::poll(p, 3, FServer.FTimeoutMs);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc <= 0) {
      FServer.AddError("session " + std::to_string(FIndex) + ": the client read no download data for " +
                       std::to_string(FServer.FTimeoutMs) + " ms");
      CloseData();
      return SendReply(options.PeerClosedReply);
    }
    if (p[2].revents != 0)
      throw FtpSessionStopped{};
    if (p[0].revents != 0) {
      ControlEvent e = ReadControlDuringTransfer();
      if (e == ControlEvent::Abort)
        return SendAbortReplies(options);
      if (e == ControlEvent::Closed)
        return Close();
    }
    if (p[1].revents != 0) {
      ssize_t n = ::send(FData.Get(), chunk.data() + chunkDone, chunk.size() - chunkDone, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        chunkDone += static_cast<size_t>(n);
        sent += n;
      } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        // The client closed or reset the data connection before the end.
        if (AbortFollows(AbortGraceMs))
          return SendAbortReplies(options);
        return SendReply(options.PeerClosedReply);
      }
    }
  }
  CloseData();
  SendReply(options.Final);
}

FtpUpload FtpSessionImpl::Upload(const std::string& command, const std::string& name,
                                 const FtpTransferOptions& options, const FtpReply& preliminary) {
  FtpUpload upload;
  upload.Command = command;
  upload.Name = name;
  if (!OpenData(options, preliminary)) {
    CloseData();
    upload.Aborted = true;
    return upload;
  }
  const int64_t keepLimit = FServer.FMaxRecordedUpload;
  Sha256 hash;
  std::string bytes;
  // What ends the upload decides the replies, which go out only after the
  // upload is recorded: a client that has its final reply sees the record.
  enum class End { Complete, Abort, PeerReset, Dropped, ControlClosed, Stalled } end = End::Complete;
  if (ScanPendingLines() == ControlEvent::Abort)
    end = End::Abort;
  std::string buffer(65536, '\0');
  while (end == End::Complete) {
    pollfd p[3] = {{FControl.Get(), POLLIN, 0}, {FData.Get(), POLLIN, 0}, {FServer.FListener.StopFd(), POLLIN, 0}};
    int rc = ::poll(p, 3, FServer.FTimeoutMs);
    if (rc < 0 && errno == EINTR)
      continue;
    if (rc <= 0) {
      end = End::Stalled;
      break;
    }
    if (p[2].revents != 0) {
      CloseData();
      upload.Sha256 = hash.HexDigest();
      upload.Aborted = true;
      RecordUpload(upload, bytes, false);
      throw FtpSessionStopped{};
    }
    if (p[0].revents != 0) {
      ControlEvent e = ReadControlDuringTransfer();
      if (e == ControlEvent::Abort)
        end = End::Abort;
      else if (e == ControlEvent::Closed)
        end = End::ControlClosed;
      if (e != ControlEvent::Nothing)
        break;
    }
    if (p[1].revents != 0) {
      ssize_t n = ::recv(FData.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (n > 0) {
        hash.Update(buffer.data(), static_cast<size_t>(n));
        upload.Size += n;
        if (upload.Size <= keepLimit)
          bytes.append(buffer.data(), static_cast<size_t>(n));
        if (options.CloseControlAfter >= 0 && upload.Size >= options.CloseControlAfter)
          end = End::ControlClosed;
        else if (options.DropDataAfter >= 0 && upload.Size >= options.DropDataAfter)
          end = End::Dropped;
      } else if (n == 0) {
        if (AbortFollows(0))
          end = End::Abort;
        break;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        end = AbortFollows(AbortGraceMs) ? End::Abort : End::PeerReset;
      }
    }
  }
  CloseData(end == End::Dropped && options.ResetData);
  upload.Sha256 = hash.HexDigest();
  upload.Aborted = end != End::Complete && end != End::Dropped;
  RecordUpload(upload, bytes, upload.Size <= keepLimit);
  switch (end) {
    case End::Complete:
    case End::Dropped:
      SendReply(options.Final);
      break;
    case End::Abort:
      SendAbortReplies(options);
      break;
    case End::PeerReset:
      SendReply(options.PeerClosedReply);
      break;
    case End::Stalled:
      FServer.AddError("session " + std::to_string(FIndex) + ": the client sent no upload data for " +
                       std::to_string(FServer.FTimeoutMs) + " ms");
      SendReply(options.PeerClosedReply);
      break;
    case End::ControlClosed:
      Close();
      break;
  }
  if (upload.Size <= keepLimit)
    upload.Bytes = std::move(bytes);
  return upload;
}

void FtpSessionImpl::RecordUpload(FtpUpload upload, const std::string& bytes, bool keep) {
  std::lock_guard lock(FServer.FMutex);
  if (keep) {
    upload.Bytes = bytes;
    // The received file can be fetched again; APPE extends what was there.
    std::string content = bytes;
    auto existing = FServer.FFiles.find(upload.Name);
    if (upload.Command == "APPE" && existing != FServer.FFiles.end())
      content = existing->second.Slice(0, static_cast<size_t>(existing->second.Size())) + bytes;
    FServer.FFiles[upload.Name] = ScriptedFtpServer::FileEntry{std::make_shared<const std::string>(std::move(content)), -1, 0};
  }
  FServer.FUploads.push_back(std::move(upload));
  FServer.FChanged.notify_all();
}
