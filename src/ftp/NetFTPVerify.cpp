// Checked transfers: after a binary transfer the client asks the server for
// the file's size ("SIZE", RFC 3659) and, when the server offers one, its
// digest of the file ("HASH", or one of the older "XSHA256", "XSHA1",
// "XMD5", "XCRC"), and compares both with the local file, so that a server
// that ends a cut-short transfer with "226" is not taken at its word. What
// the transfer learnt is kept as a receipt (LastTransfer); the local SHA-256
// is computed while the bytes pass, never by a second read of the file.
#include <algorithm>
#include <optional>

#include "NetExceptions.h"
#include "NetFTP.h"
#include "NetFTPDigest.h"
#include "NetScope.h"

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

void TNetFTP::RetrieveRecorded(const std::string& ARemoteName, const std::function<TNetStream&()>& ADestination,
                               bool AResume, int64_t ARestartAt) {
  // ASCII sizes differ from the local file's by design: no checks there.
  const bool asks = (VerifyTransfers || RecordTransfers) && FTransferType == ftBinary;
  const TNetFTPDigestChoice digest = asks ? ServerDigestChoice() : TNetFTPDigestChoice();
  const bool hashes = RecordTransfers || digest.Algorithm == DigestSHA256;
  // The destination exists only once the server has accepted "RETR".
  TNetStream* destination = nullptr;
  std::optional<TNetHashingStream> hashing;
  auto open = [&]() -> TNetStream& {
    if (!destination) {
      destination = &ADestination();
      if (hashes) hashing.emplace(*destination, DigestSHA256);
    }
    return hashing ? static_cast<TNetStream&>(*hashing) : *destination;
  };
  {
    // The receipt learns the local state also when the transfer fails.
    TNetScopeExit record([&] {
      FLastTransfer.Time = UtcTimeText();
      if (destination) FLastTransfer.Bytes = destination->Size();
      if (hashing) FLastTransfer.Sha256 = hashing->Finish();
    });
    ReceiveTransfer("RETR " + ARemoteName, open, AResume, ARestartAt);
  }
  TNetStream& local = ADestination();
  AfterRetrieve(local);
  // An abort of ours leaves the file short on purpose: nothing to check.
  if (FAbortSent) {
    FLastTransfer.Error = "Transfer aborted";
    return;
  }
  if (asks) CheckTransfer(ARemoteName, true, local.Size(), digest, &local, FLastTransfer.Sha256);
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
  std::optional<TNetHashingStream> hashing;
  if (RecordTransfers || digest.Algorithm == DigestSHA256) hashing.emplace(ASource, DigestSHA256);
  {
    TNetScopeExit record([&] {
      FLastTransfer.Time = UtcTimeText();
      FLastTransfer.Bytes = ASource.Size();
      if (hashing) FLastTransfer.Sha256 = hashing->Finish();
    });
    StoreCommand(hashing ? static_cast<TNetStream&>(*hashing) : ASource, ARemoteName, AAppend);
  }
  if (FAbortSent) {
    FLastTransfer.Error = "Transfer aborted";
    return;
  }
  // The server's digest covers its whole file: comparable with the local
  // one only when that file is the local stream from its first byte.
  const bool sameFile = !append || (before == 0 && start == 0);
  if (asks) CheckTransfer(ARemoteName, false, before + sent, digest, sameFile ? &ASource : nullptr, FLastTransfer.Sha256);
  FLastTransfer.Ok = true;
}

void TNetFTP::CheckTransfer(const std::string& ARemoteName, bool ADownload, int64_t AExpected,
                            const TNetFTPDigestChoice& ADigest, TNetStream* ADigestSource,
                            const std::string& ALocalSha256) {
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
  if (ADigest.Command.empty() || !ADigestSource) return;
  if (!ADigest.OptsCommand.empty() && !FHashOptsSent) {
    FHashOptsSent = true;
    if (SendCommand(ADigest.OptsCommand, TReplyCodes{}) / 100 != 2) {
      FHashRefused = true;
      return;
    }
  }
  // A refusal or a reply without a digest leaves the digest unchecked.
  if (SendCommand(ADigest.Command + " " + ARemoteName, TReplyCodes{}) / 100 != 2) return;
  const std::string value = DigestOfReply(LastReply.Text, TNetDigest::HexLength(ADigest.Algorithm));
  if (value.empty()) return;
  FLastTransfer.ServerDigest = TNetFTPServerDigest{ADigest.Algorithm, ADigest.Command, value};
  const std::string local = ADigest.Algorithm == DigestSHA256 && !ALocalSha256.empty()
                                ? ALocalSha256
                                : HexDigestOfStream(*ADigestSource, ADigest.Algorithm);
  if (local != value)
    throw ENetFTPDigestMismatch(FormatMessage("Digest mismatch: the server's %s of the file is %s, the local copy's is %s.",
                                              {ADigest.Algorithm, value, local}));
}
