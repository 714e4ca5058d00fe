#include "PeerListener.h"

#include <utility>

PeerListener::PeerListener() : FListen(ListenTcp()), FPort(LocalPort(FListen.Get())) {}

void PeerListener::Start(std::function<Work()> onAccept, std::function<void(const std::string&)> onError) {
  FAcceptThread = std::thread([this, onAccept = std::move(onAccept), onError = std::move(onError)] {
    AcceptUntilStopped(
        FListen.Get(), FStop.Fd(),
        [&](UniqueFd fd) {
          Work work = onAccept();
          if (!work)
            return;  // fd closes here
          std::lock_guard lock(FMutex);
          FThreads.emplace_back([work = std::move(work), f = std::move(fd)]() mutable { work(std::move(f)); });
        },
        onError);
  });
}

void PeerListener::Stop() {
  {
    std::lock_guard lock(FMutex);
    if (FStopped)
      return;
    FStopped = true;
  }
  FStop.Signal();
  if (FAcceptThread.joinable())
    FAcceptThread.join();
  // The accept thread is gone, so the thread list no longer changes.
  for (std::thread& t : FThreads)
    t.join();
  FListen.Reset();
}
