#include "downloadplan.h"

TDownloadPlan PlanDownload(int64_t ARemoteSize, std::optional<int64_t> ALocalSize, bool AResumable) {
  if (!ALocalSize) return {dsOverwrite, ARemoteSize};
  if (!AResumable) return {dsReplace, ARemoteSize};
  return {dsResume, ARemoteSize - *ALocalSize};
}
