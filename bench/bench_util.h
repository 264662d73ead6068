// Helpers shared by the benchmark programs.
#ifndef BENCH_UTIL_H
#define BENCH_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback UDP port that was free a moment ago.
inline int free_port()
{
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, (sockaddr *)&a, sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, (sockaddr *)&a, &len);
  close(fd);
  return ntohs(a.sin_port);
}

#endif
