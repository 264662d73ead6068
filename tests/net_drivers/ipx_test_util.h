// Helpers shared by the IPX tests: the layer kept on loopback and an IPX
// socket number of the test process's own.
#ifndef IPX_TEST_UTIL_H
#define IPX_TEST_UTIL_H

#include <stdlib.h>
#include <unistd.h>

#include <string>

// The UDP port where this process's IPX broadcasts meet, 27000 to 28999:
// test programs running at once then do not hear each other's.
inline int test_meeting_port()
{
  return 27000 + getpid() % 2000;
}

// The socket number the IPX driver writes low byte first to meet there.
inline int test_socket_number()
{
  int port = test_meeting_port();
  return ((port & 0xFF) << 8) | (port >> 8);
}

// Keeps the IPX layer's datagrams on 127.0.0.0/8; call before the driver
// starts.
inline void keep_ipx_on_loopback()
{
  setenv("NETLANE_IPX_LOOPBACK", "1", 1);
}

#endif
