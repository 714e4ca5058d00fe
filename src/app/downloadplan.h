// How the client window's download begins, decided from the size the server
// gives for the file, the size of the local copy and whether that copy may
// be resumed (NetFTPResumeRecord.h). A plain function over plain values, so
// that the window only looks them up and acts.
#pragma once

#include <cstdint>
#include <optional>

enum TDownloadStart : int {
  dsOverwrite,  // no local copy: the whole file
  dsResume,     // a local copy that is the file's beginning: the rest of it
  dsReplace,    // a local copy that may not be resumed: the whole file, replacing it
};

struct TDownloadPlan {
  TDownloadStart Start = dsOverwrite;
  // What the transfer is expected to bring: the server's size, less the
  // local copy's when resuming. The progress maximum when the transfer
  // announces no total; negative when the server gave no size.
  int64_t ExpectedBytes = 0;
};

// ARemoteSize: the server's size of the file, -1 when it gives none.
// ALocalSize: the local copy's size; none when there is no local file.
// AResumable: the local copy is a beginning of the server's file as it is now.
TDownloadPlan PlanDownload(int64_t ARemoteSize, std::optional<int64_t> ALocalSize, bool AResumable);
