// The loopback address at a port, where the tests' receivers, relays and proxies listen.
#pragma once
#include <winsock2.h>

#include <cstdint>

namespace testing_support {

inline SOCKADDR_IN LoopbackAddress(uint16_t port) {
  SOCKADDR_IN address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace testing_support
