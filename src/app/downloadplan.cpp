#include "downloadplan.h"

TDownloadPlan PlanDownload(int64_t ARemoteSize, std::optional<int64_t> ALocalSize) {
  if (!ALocalSize) return {dsOverwrite, ARemoteSize};
  if (ARemoteSize >= 0 && *ALocalSize > ARemoteSize) return {dsRefuse, ARemoteSize};
  return {dsResume, ARemoteSize - *ALocalSize};
}
