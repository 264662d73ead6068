// A UDP port of its own for each test that listens (see test_port.h).
#include "test_port.h"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

int claim_test_port(int *lock_fd)
{
  for (int port = 32200; port < 32300; port++) {
    char path[64];
    snprintf(path, sizeof path, "/tmp/yammerlane-test-port-%d.lock", port);
    int fd = open(path, O_RDWR | O_CREAT, 0666);
    if (fd < 0)
      continue;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      continue;
    }
    // Bound without address reuse, the probe fails while anybody holds the port.
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free_port = s >= 0 && bind(s, (struct sockaddr *)&addr, sizeof addr) == 0;
    if (s >= 0)
      close(s);
    if (free_port) {
      *lock_fd = fd;
      return port;
    }
    close(fd);
  }
  return -1;
}
