// The resume record beside a download (RFC 959 "SIZE" as RFC 3659 gives it,
// and "MDTM", RFC 3659 3).
#include "NetFTPResumeRecord.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "NetExceptions.h"
#include "NetFTP.h"
#include "NetScope.h"

namespace {

// The record's lines, e.g.
//   remessa resume record
//   size=3145851
//   modified=20240301140500
constexpr const char* RecordHeading = "remessa resume record";
constexpr const char* SizeKey = "size=";
constexpr const char* ModifiedKey = "modified=";

}  // namespace

TNetRemoteFileStamp QueryRemoteFileStamp(TNetFTP& AFTP, const std::string& ARemoteName) {
  TNetRemoteFileStamp stamp;
  stamp.Size = AFTP.FileSize(ARemoteName);  // refuses a name with CR or LF before anything is sent
  // "213 20240301140500"; "550 Could not get file modification time." from
  // a server that does not keep one.
  if (AFTP.SendCommand("MDTM " + ARemoteName, TReplyCodes{}) == 213 && !AFTP.LastReply.Text.empty())
    stamp.Modified = Trim(AFTP.LastReply.Text.front());
  return stamp;
}

std::string ResumeRecordText(const TNetRemoteFileStamp& AStamp) {
  return std::string(RecordHeading) + "\n" + SizeKey + std::to_string(AStamp.Size) + "\n" + ModifiedKey +
         AStamp.Modified + "\n";
}

std::optional<TNetRemoteFileStamp> ParseResumeRecord(const std::string& AText) {
  std::istringstream lines(AText);
  std::string heading, size, modified, rest;
  if (!std::getline(lines, heading) || heading != RecordHeading) return std::nullopt;
  if (!std::getline(lines, size) || !size.starts_with(SizeKey)) return std::nullopt;
  if (!std::getline(lines, modified) || !modified.starts_with(ModifiedKey)) return std::nullopt;
  if (std::getline(lines, rest)) return std::nullopt;
  TNetRemoteFileStamp stamp;
  const std::string sizeText = size.substr(std::strlen(SizeKey));
  // Plain decimal digits only: what ResumeRecordText writes for a known size.
  if (sizeText.empty() || sizeText.find_first_not_of("0123456789") != std::string::npos ||
      !TryStrToInt64(sizeText, stamp.Size))
    return std::nullopt;
  stamp.Modified = modified.substr(std::strlen(ModifiedKey));
  return stamp;
}

std::string ResumeRecordPath(const std::string& ALocalPath) { return ALocalPath + ResumeRecordSuffix; }

std::optional<TNetRemoteFileStamp> ReadResumeRecord(const std::string& ALocalPath) {
  std::ifstream file(ResumeRecordPath(ALocalPath), std::ios::binary);
  if (!file) return std::nullopt;
  std::ostringstream text;
  text << file.rdbuf();
  return ParseResumeRecord(text.str());
}

void WriteResumeRecord(const std::string& ALocalPath, const TNetRemoteFileStamp& AStamp) {
  const std::string path = ResumeRecordPath(ALocalPath);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file << ResumeRecordText(AStamp);
  if (file) file.close();
  if (!file) throw EFCreateError(path, std::strerror(errno));
}

void RemoveResumeRecord(const std::string& ALocalPath) { std::remove(ResumeRecordPath(ALocalPath).c_str()); }

bool RecordAllowsResume(const std::optional<TNetRemoteFileStamp>& ARecord, int64_t ALocalSize,
                        const TNetRemoteFileStamp& ARemote) {
  return ARecord && ARemote.Size >= 0 && *ARecord == ARemote && ALocalSize <= ARemote.Size;
}

TNetRecordedDownload::TNetRecordedDownload(TNetFTP& AFTP, std::string ARemoteName, std::string ALocalPath)
    : FFTP(AFTP), FRemoteName(std::move(ARemoteName)), FLocalPath(std::move(ALocalPath)) {}

void TNetRecordedDownload::Prepare() {
  FRemote = QueryRemoteFileStamp(FFTP, FRemoteName);
  FLocalSize = FileExists(FLocalPath) ? std::optional<int64_t>(FileSizeOf(FLocalPath)) : std::nullopt;
  FRecordMatches = FLocalSize && RecordAllowsResume(ReadResumeRecord(FLocalPath), *FLocalSize, FRemote);
  FResumable = FRecordMatches && FFTP.ResumeSupported();
}

std::string TNetRecordedDownload::FreshReason() const {
  if (!FLocalSize || FResumable) return "";
  if (FRecordMatches) return "The server does not resume downloads; downloading " + FLocalPath + " afresh.";
  return "Local copy of " + FLocalPath + " does not match the server's file; downloading it afresh.";
}

void TNetRecordedDownload::Run(bool AResume) {
  // A record of an earlier download belongs to the copy that is replaced.
  if (!AResume) RemoveResumeRecord(FLocalPath);
  TNetScopeExit restore([this, saved = FFTP.OnWorkBegin] { FFTP.OnWorkBegin = saved; });
  if (!AResume && FRemote.Size >= 0) {
    FFTP.OnWorkBegin = [this, saved = FFTP.OnWorkBegin, written = false](
                           TNetBaseComponent* ASender, TWorkMode AMode, int64_t AMax) mutable {
      if (!written) WriteResumeRecord(FLocalPath, FRemote);
      written = true;
      if (saved) saved(ASender, AMode, AMax);
    };
  }
  TNetScopeExit orphan([this] {
    if (!FileExists(FLocalPath)) RemoveResumeRecord(FLocalPath);
  });
  FFTP.Retrieve(FRemoteName, FLocalPath, !AResume, AResume);
  if (FRemote.Size < 0 || FileSizeOf(FLocalPath) >= FRemote.Size) RemoveResumeRecord(FLocalPath);
}
