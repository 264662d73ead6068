// What the conn tests that make a private network namespace share: the
// namespace's loopback brought up (it starts down).
#ifndef RDM_PRIVATE_NET_H
#define RDM_PRIVATE_NET_H

#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

// Brings up `lo` in the calling process's network namespace; false when refused.
inline bool loopback_up()
{
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  ifreq ifr{};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP;
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  return ok;
}

#endif
