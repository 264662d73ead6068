// The IPX tests keep the layer on loopback and use an IPX socket number of
// their process's own, so that test programs running at once never hear
// each other's broadcasts.
#ifndef IPX_TEST_UTIL_H
#define IPX_TEST_UTIL_H

#include <stdlib.h>
#include <unistd.h>

// The UDP port where the socket number's broadcasts meet: 27000-28999.
inline int test_meeting_port() { return 27000 + getpid() % 2000; }
// The socket number meeting there, as the IPX driver writes it (low byte first).
inline int test_socket_number() { return (test_meeting_port() & 0xFF) << 8 | test_meeting_port() >> 8; }
// Call before the IPX layer binds.
inline void keep_ipx_on_loopback() { setenv("NETLANE_IPX_LOOPBACK", "1", 1); }

#endif
