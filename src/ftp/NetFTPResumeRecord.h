// Resuming a download only onto a beginning of the same file. A local copy
// says nothing about which file it began as: a partial copy of an older
// version would get the new version's tail appended, and a complete older
// copy would pass for done. So while a download runs, a small record beside
// the local file (its name plus ResumeRecordSuffix) keeps the remote file's
// size ("SIZE") and modification time ("MDTM", RFC 3659) as they were when
// the download began. A later download resumes only when that record still
// matches the server's file; any other local copy is downloaded afresh. The
// record goes once the local copy is whole.
//
//   TNetRecordedDownload download(ftp, "a.bin", "a.bin");
//   download.Prepare();                     // SIZE, MDTM, the local copy and its record
//   download.Run(download.Resumable());     // REST + RETR, or RETR afresh
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class TNetFTP;

inline constexpr const char* ResumeRecordSuffix = ".remessa-resume";

// What tells one version of a remote file from another.
struct TNetRemoteFileStamp {
  int64_t Size = -1;     // -1: the server gives no size
  std::string Modified;  // the 213 reply's text to "MDTM" ("20240301140500"); empty when refused
  bool operator==(const TNetRemoteFileStamp&) const = default;
};

// Sends "SIZE " and "MDTM " for ARemoteName; neither reply raises.
TNetRemoteFileStamp QueryRemoteFileStamp(TNetFTP& AFTP, const std::string& ARemoteName);

// The record's text, and the stamp it holds (none for a text that is no record).
std::string ResumeRecordText(const TNetRemoteFileStamp& AStamp);
std::optional<TNetRemoteFileStamp> ParseResumeRecord(const std::string& AText);

// The record beside ALocalPath: read (none when missing or unreadable),
// written (raises EFCreateError when it cannot be), removed (when there).
std::string ResumeRecordPath(const std::string& ALocalPath);
std::optional<TNetRemoteFileStamp> ReadResumeRecord(const std::string& ALocalPath);
void WriteResumeRecord(const std::string& ALocalPath, const TNetRemoteFileStamp& AStamp);
void RemoveResumeRecord(const std::string& ALocalPath);

// The rule: a local copy of ALocalSize bytes may be resumed when its record
// matches the remote file as it is now and the copy is no longer than that
// file. A file the server gives no size for is never resumed.
bool RecordAllowsResume(const std::optional<TNetRemoteFileStamp>& ARecord, int64_t ALocalSize,
                        const TNetRemoteFileStamp& ARemote);

// One download of ARemoteName into ALocalPath under the rule above.
class TNetRecordedDownload {
 public:
  TNetRecordedDownload(TNetFTP& AFTP, std::string ARemoteName, std::string ALocalPath);

  // Asks "SIZE " and "MDTM ", looks at the local copy and its record and,
  // when the record allows resuming, asks whether the server restarts
  // transfers (TNetFTP::ResumeSupported).
  void Prepare();

  const TNetRemoteFileStamp& Remote() const { return FRemote; }
  std::optional<int64_t> LocalSize() const { return FLocalSize; }  // none: no local copy
  // The local copy may be resumed, and the server restarts transfers.
  bool Resumable() const { return FResumable; }
  // Why a local copy that is there is downloaded afresh; empty when there is
  // none or it is resumable.
  std::string FreshReason() const;

  // Downloads: the rest of the file when AResume (only when Resumable()),
  // else all of it, replacing a local copy. The record is written once the
  // server has accepted "RETR" and the local file is open (at the transfer's
  // work begin), since an earlier failure leaves an old copy untouched; it is
  // removed once the local copy is as large as the remote file, and with the
  // local file when a failed download leaves none. An aborted download keeps
  // it, so that the next one resumes.
  void Run(bool AResume);

 private:
  TNetFTP& FFTP;
  std::string FRemoteName;
  std::string FLocalPath;
  TNetRemoteFileStamp FRemote;
  std::optional<int64_t> FLocalSize;
  bool FRecordMatches = false;
  bool FResumable = false;
};
