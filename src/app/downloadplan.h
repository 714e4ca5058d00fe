// How the client window's download begins, decided from the size the server
// gives for the file and the size of the local copy. A plain function over
// plain values, so that the window only looks the sizes up and acts.
#pragma once

#include <cstdint>
#include <optional>

enum TDownloadStart : int {
  dsOverwrite,  // no local copy: the whole file, replacing whatever is in the way
  dsResume,     // a local copy that may be the file's beginning: the rest of it
  dsRefuse,     // a local copy larger than the server's file: nothing
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
// A local copy larger than the server's file is no beginning of it: resuming
// would leave it as it is (or add to it) and count as done, so it is refused.
// Without a size from the server any local copy is resumed.
TDownloadPlan PlanDownload(int64_t ARemoteSize, std::optional<int64_t> ALocalSize);
