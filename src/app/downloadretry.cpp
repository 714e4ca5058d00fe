#include "downloadretry.h"

#include "NetExceptions.h"

bool IsConnectionLoss(const std::exception& AFailure) {
  if (dynamic_cast<const ENetSocketError*>(&AFailure) || dynamic_cast<const ENetConnClosedGracefully*>(&AFailure) ||
      dynamic_cast<const ENetClosedSocket*>(&AFailure) || dynamic_cast<const ENetNotConnected*>(&AFailure) ||
      dynamic_cast<const ENetReadTimeout*>(&AFailure) || dynamic_cast<const ENetConnectTimeout*>(&AFailure))
    return true;
  const auto* Reply = dynamic_cast<const ENetProtocolReplyError*>(&AFailure);
  return Reply != nullptr && Reply->ReplyCode == 426;
}

bool LeavesSessionOutOfStep(const std::exception& AFailure) {
  // A transfer's own time-out reads or drops the final reply itself (and
  // closes the session when that does not come either).
  return dynamic_cast<const ENetReadTimeout*>(&AFailure) != nullptr &&
         dynamic_cast<const ENetTransferTimeout*>(&AFailure) == nullptr;
}

std::string RetryText(int ASeconds, int AAttempt, int AAttempts) {
  return "Connection lost; retrying in " + std::to_string(ASeconds) + " s (attempt " + std::to_string(AAttempt) +
         " of " + std::to_string(AAttempts) + ")";
}
