#include <winsock2.h>
#include <gtest/gtest.h>

#include "ovtransfer/com/ptr.h"
#include "ovtransfer/outside/net_support.h"
#include "ovtransfer/outside/ovres.h"
#include "support/com_apartment.h"

namespace {

bool SocketsWork() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  closesocket(s);
  return true;
}

TEST(NetSupport, StartupInitialisesSocketsUntilTheObjectGoes) {
  testing_support::ComApartment apartment;
  ASSERT_FALSE(SocketsWork()) << "this program never initialises sockets itself";
  EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

  GUID buffer;
  const CLSID clsid = *OVRES_LoadGuid(&buffer, GUID_KEY_NETSUPPORT);
  com::ComPtr<INetSupport> net;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_INetSupport, net.ReceiveVoid()), S_OK);
  ASSERT_EQ(net->Startup(0x0202), S_OK);
  EXPECT_EQ(net->Startup(0x0202), S_OK);
  EXPECT_TRUE(SocketsWork());

  net.Reset();
  EXPECT_FALSE(SocketsWork()) << "releasing the object balances its one initialisation";
}

}  // namespace
