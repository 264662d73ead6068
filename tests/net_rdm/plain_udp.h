// A plain loopback UDP socket for playing a conn's peer byte by byte, with
// bounded waits; it shares no code with the library.
#ifndef RDM_PLAIN_UDP_H
#define RDM_PLAIN_UDP_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

struct plain_udp {
  int fd = -1;
  int port = 0;

  // `host`: another loopback address (127.0.0.2) plays a different machine.
  explicit plain_udp(in_addr_t host = INADDR_LOOPBACK)
  {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(host);
    a.sin_port = 0;
    bind(fd, (sockaddr *)&a, sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, (sockaddr *)&a, &len);
    port = ntohs(a.sin_port);
  }
  ~plain_udp() { close(fd); }
  plain_udp(const plain_udp &) = delete;
  plain_udp &operator=(const plain_udp &) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(port); }

  void send_to(int to_port, const std::vector<unsigned char> &bytes) const
  {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((unsigned short)to_port);
    sendto(fd, bytes.data(), bytes.size(), 0, (sockaddr *)&a, sizeof a);
  }

  // One datagram, waiting at most `ms`; empty when none came. `from_port`
  // gets the sender's port.
  std::vector<unsigned char> receive(int ms = 2000, int *from_port = nullptr) const
  {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    std::vector<unsigned char> buf(70000);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t got = recvfrom(fd, buf.data(), buf.size(), 0, (sockaddr *)&a, &len);
    if (got < 0) return {};
    if (from_port) *from_port = ntohs(a.sin_port);
    buf.resize((size_t)got);
    return buf;
  }
};

// A loopback port that was free a moment ago.
inline int free_udp_port()
{
  plain_udp probe;
  return probe.port;
}

#endif
