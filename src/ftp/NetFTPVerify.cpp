// Checked transfers: after a binary transfer the client asks the server for
// the file's size ("SIZE", RFC 3659) and, when the server offers one, its
// digest of the file ("HASH", or one of the older "XSHA256", "XSHA1",
// "XMD5", "XCRC"), and compares both with the local file, so that a server
// that ends a cut-short transfer with "226" is not taken at its word. What
// the transfer learnt is kept as a receipt (LastTransfer). The local digests
// are computed while the bytes pass, on a thread of their own for a file
// (TNetHashingStream), never by a second read of the file afterwards.
#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "NetExceptions.h"
#include "NetFTP.h"
#include "NetFTPDigest.h"
#include "NetScope.h"

namespace {

// The slowest a server is expected to read a file for its digest: 16 MiB/s.
constexpr int64_t DigestReadRate = int64_t{16} << 20;

}  // namespace

void TNetFTP::BeginRecord(bool ADownload, const std::string& ARemoteName, const std::string& ALocalPath) {
  FLastTransfer = TNetFTPReceipt();
  FLastTransfer.Time = UtcTimeText();
  FLastTransfer.Download = ADownload;
  FLastTransfer.Server = ServerOfReceipt(Host, Port);
  FLastTransfer.RemotePath = ARemoteName;
  FLastTransfer.LocalPath = ALocalPath;
}

const TStringList& TNetFTP::SessionFeatures() {
  if (!FFeaturesAsked) RequestFeatures();
  return FFeatures;
}

TNetFTPDigestChoice TNetFTP::ServerDigestChoice() {
  if (!VerifyTransfers) return {};
  TNetFTPDigestChoice choice = ServerDigestOfFeatures(SessionFeatures());
  if (choice.Command == "HASH" && FHashRefused) return {};
  return choice;
}

void TNetFTP::ApplyKeepAlive(TNetTCPConnection& AConnection) {
  if (!KeepAlive) return;
  TNetIOHandlerSocket* handler = AConnection.SocketHandler();
  if (handler && handler->SocketHandle())
    handler->SocketHandle()->SetKeepAlive(KeepAliveIdle, KeepAliveInterval, KeepAliveCount);
}

std::vector<std::string> TNetFTP::LocalDigests(const TNetFTPDigestChoice& ADigest, bool AComparable) const {
  std::vector<std::string> algorithms;
  if (RecordTransfers || (AComparable && ADigest.Algorithm == DigestSHA256)) algorithms.push_back(DigestSHA256);
  if (AComparable && !ADigest.Command.empty() && ADigest.Algorithm != DigestSHA256)
    algorithms.push_back(ADigest.Algorithm);
  return algorithms;
}

void TNetFTP::RetrieveRecorded(const std::string& ARemoteName, const std::function<TNetStream&()>& ADestination,
                               bool AResume, int64_t ARestartAt) {
  // ASCII sizes differ from the local file's by design: no checks there.
  const bool asks = (VerifyTransfers || RecordTransfers) && FTransferType == ftBinary;
  const TNetFTPDigestChoice digest = asks ? ServerDigestChoice() : TNetFTPDigestChoice();
  // The destination exists only once the server has accepted "RETR". The
  // copy of the remote file is the stream from its first byte when the
  // download starts there or resumes, else from where it starts: the
  // server's digest covers the former only.
  TNetStream* destination = nullptr;
  int64_t start = 0;
  bool comparable = false;
  std::optional<TNetHashingStream> hashing;
  auto open = [&]() -> TNetStream& {
    if (!destination) {
      destination = &ADestination();
      start = destination->Position();
      comparable = AResume || start == 0;
      const std::vector<std::string> algorithms = LocalDigests(digest, comparable);
      if (!algorithms.empty()) hashing.emplace(*destination, algorithms);
    }
    return hashing ? static_cast<TNetStream&>(*hashing) : *destination;
  };
  {
    // The receipt learns the local state also when the transfer fails.
    TNetScopeExit record([&] {
      FLastTransfer.Time = UtcTimeText();
      if (destination) FLastTransfer.Bytes = destination->Size();
      if (hashing) {
        hashing->Finish();
        FLastTransfer.Sha256 = hashing->Digest(DigestSHA256);
      }
    });
    ReceiveTransfer("RETR " + ARemoteName, open, AResume, ARestartAt);
  }
  TNetStream& local = ADestination();
  const int64_t copied = local.Position() - (AResume ? 0 : start);
  AfterRetrieve(local);
  // An abort of ours leaves the file short on purpose: nothing to check.
  if (FAbortSent) {
    FLastTransfer.Error = "Transfer aborted";
    return;
  }
  if (asks) CheckTransfer(ARemoteName, true, copied, digest, hashing ? hashing->Digest(digest.Algorithm) : "");
  FLastTransfer.Ok = true;
}

void TNetFTP::StoreRecorded(TNetStream& ASource, const std::string& ARemoteName, bool AAppend) {
  // "STOU" names the file itself: there is no name to ask about.
  const bool asks = (VerifyTransfers || RecordTransfers) && FTransferType == ftBinary && !ARemoteName.empty();
  const bool append = AAppend && !ARemoteName.empty();
  const TNetFTPDigestChoice digest = asks ? ServerDigestChoice() : TNetFTPDigestChoice();
  // An append adds to what the server has; a missing file counts as empty.
  int64_t before = 0;
  if (asks && append) before = std::max<int64_t>(FileSize(ARemoteName), 0);
  const int64_t start = append ? ASource.Position() : 0;
  const int64_t sent = ASource.Size() - start;
  // The server's digest covers its whole file: comparable with the local
  // one only when that file is the local stream from its first byte.
  const bool comparable = !append || (before == 0 && start == 0);
  const std::vector<std::string> algorithms = LocalDigests(digest, comparable);
  std::optional<TNetHashingStream> hashing;
  if (!algorithms.empty()) hashing.emplace(ASource, algorithms);
  {
    TNetScopeExit record([&] {
      FLastTransfer.Time = UtcTimeText();
      FLastTransfer.Bytes = ASource.Size();
      if (hashing) {
        hashing->Finish();
        FLastTransfer.Sha256 = hashing->Digest(DigestSHA256);
      }
    });
    StoreCommand(hashing ? static_cast<TNetStream&>(*hashing) : ASource, ARemoteName, AAppend);
  }
  if (FAbortSent) {
    FLastTransfer.Error = "Transfer aborted";
    return;
  }
  if (asks) CheckTransfer(ARemoteName, false, before + sent, digest, hashing ? hashing->Digest(digest.Algorithm) : "");
  FLastTransfer.Ok = true;
}

void TNetFTP::CheckTransfer(const std::string& ARemoteName, bool ADownload, int64_t AExpected,
                            const TNetFTPDigestChoice& ADigest, const std::string& ALocalDigest) {
  const int64_t remote = FileSize(ARemoteName);
  FLastTransfer.RemoteSize = remote;
  if (RecordTransfers && SendCommand("MDTM " + ARemoteName, TReplyCodes{}) == 213)
    FLastTransfer.RemoteModified = ModifiedTimeOfReply(LastReply.Text);
  if (!VerifyTransfers) return;
  // A server without "SIZE" (or without a size for this file) leaves the
  // size unchecked; the receipt shows it as null.
  if (remote >= 0 && remote != AExpected) {
    if (ADownload)
      throw ENetFTPTransferIncomplete(FormatMessage("Download incomplete: the local copy has %s of %s bytes.",
                                                    {std::to_string(AExpected), std::to_string(remote)}));
    throw ENetFTPTransferIncomplete(FormatMessage("Upload incomplete: the server has %s of %s bytes.",
                                                  {std::to_string(remote), std::to_string(AExpected)}));
  }
  if (ADigest.Command.empty() || ALocalDigest.empty()) return;
  if (!ADigest.OptsCommand.empty() && !FHashOptsSent) {
    FHashOptsSent = true;
    if (SendCommand(ADigest.OptsCommand, TReplyCodes{}) / 100 != 2) {
      FHashRefused = true;
      return;
    }
  }
  // The server reads the whole file before it answers: the wait for the
  // reply grows by a second for every DigestReadRate bytes of the file.
  const int32_t readTimeout = ReadTimeout;
  TNetScopeExit restore([&] { ReadTimeout = readTimeout; });
  if (ReadTimeout > 0)
    ReadTimeout = static_cast<int32_t>(std::min<int64_t>(
        std::numeric_limits<int32_t>::max(), ReadTimeout + std::max<int64_t>(AExpected, 0) / DigestReadRate * 1000));
  // A refusal or a reply without a digest leaves the digest unchecked.
  if (SendCommand(ADigest.Command + " " + ARemoteName, TReplyCodes{}) / 100 != 2) return;
  const std::string value = DigestOfReply(LastReply.Text, TNetDigest::HexLength(ADigest.Algorithm));
  if (value.empty()) return;
  FLastTransfer.ServerDigest = TNetFTPServerDigest{ADigest.Algorithm, ADigest.Command, value};
  if (ALocalDigest != value)
    throw ENetFTPDigestMismatch(FormatMessage("Digest mismatch: the server's %s of the file is %s, the local copy's is %s.",
                                              {ADigest.Algorithm, value, ALocalDigest}));
}
