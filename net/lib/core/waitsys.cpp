// The operating system's sleep-until-readable, the wakers built on eventfd
// and the yield of the processor: one small seam, so that everything above
// it stays portable.
#include <errno.h>
#include <poll.h>
#include <sched.h>
#include <stdint.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "waitsys.h"

int __netlane_internal__waker_open(void)
{
  return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void __netlane_internal__waker_close(int waker)
{
  if (waker >= 0) close(waker);
}

void __netlane_internal__waker_signal(int waker)
{
  if (waker < 0) return;
  uint64_t one = 1;
  // A full counter is still readable, so a failed write loses nothing.
  ssize_t done = write(waker, &one, sizeof one);
  (void)done;
}

int __netlane_internal__waker_clear(int waker)
{
  if (waker < 0) return 0;
  uint64_t count = 0;
  return read(waker, &count, sizeof count) == (ssize_t)sizeof count && count > 0;
}

int __netlane_internal__wait_readable(const int *fds, int nfds, int timeout_ms)
{
  enum { MOST = 256 };
  struct pollfd p[MOST];
  if (nfds > MOST) nfds = MOST;
  for (int i = 0; i < nfds; i++) {
    p[i].fd = fds[i];
    p[i].events = POLLIN;
    p[i].revents = 0;
  }
  int got = poll(p, (nfds_t)nfds, timeout_ms < 0 ? -1 : timeout_ms);
  if (got < 0) return 0;  // EINTR and the like: the caller looks again
  return got;
}

int __netlane_internal__poller_open(void)
{
  return epoll_create1(EPOLL_CLOEXEC);
}

void __netlane_internal__poller_close(int poller)
{
  if (poller >= 0) close(poller);
}

int __netlane_internal__poller_add(int poller, int fd)
{
  struct epoll_event e;
  e.events = EPOLLIN;
  e.data.fd = fd;
  return epoll_ctl(poller, EPOLL_CTL_ADD, fd, &e) == 0 ? 0 : -1;
}

int __netlane_internal__poller_remove(int poller, int fd)
{
  struct epoll_event e;
  return epoll_ctl(poller, EPOLL_CTL_DEL, fd, &e) == 0 ? 0 : -1;
}

int __netlane_internal__poller_wait(int poller, int *fds, int max, int timeout_ms)
{
  enum { MOST = 64 };
  struct epoll_event e[MOST];
  if (max > MOST) max = MOST;
  int got = epoll_wait(poller, e, max, timeout_ms < 0 ? -1 : timeout_ms);
  if (got < 0) return 0;  // EINTR and the like: the caller looks again
  for (int i = 0; i < got; i++) fds[i] = e[i].data.fd;
  return got;
}

void __netlane_internal__yield(void)
{
  sched_yield();
}
