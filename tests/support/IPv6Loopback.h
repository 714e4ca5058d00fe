// Whether this machine has the IPv6 loopback address ::1, for tests that
// need it. Without it they are skipped with a message saying so, never
// silently.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline bool HasIPv6Loopback() {
  const int s = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
  ::close(s);
  return ok;
}

#define SKIP_WITHOUT_IPV6_LOOPBACK()                                                                   \
  do {                                                                                                 \
    if (!HasIPv6Loopback())                                                                            \
      GTEST_SKIP() << "SKIPPED: this machine has no IPv6 loopback address ::1, so this IPv6 test cannot run"; \
  } while (0)
