/* A counter of calls a benchmark's server makes, preloaded
 * (LD_PRELOAD=libbench_count_calls.so): the socket and wait calls that enter
 * the kernel, heap allocations and frees, mutex locks, and readings of the
 * clock (clock_gettime, gettimeofday). The program reads
 * the counts through bench_counts(), found with dlsym, so that it can take
 * them around the messages it measures alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

/* Order of the counts bench_counts writes. */
enum { C_SYSCALLS, C_ALLOCS, C_FREES, C_LOCKS, C_CLOCKS, C_COUNT };

static long counts[C_COUNT];

static void bump(int which)
{
  __atomic_fetch_add(&counts[which], 1, __ATOMIC_RELAXED);
}

void bench_counts(long out[C_COUNT])
{
  for (int i = 0; i < C_COUNT; i++) out[i] = __atomic_load_n(&counts[i], __ATOMIC_RELAXED);
}

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void __libc_free(void *);

void *malloc(size_t n)
{
  bump(C_ALLOCS);
  return __libc_malloc(n);
}

void *calloc(size_t a, size_t b)
{
  bump(C_ALLOCS);
  return __libc_calloc(a, b);
}

void *realloc(void *p, size_t n)
{
  bump(C_ALLOCS);
  return __libc_realloc(p, n);
}

void free(void *p)
{
  if (p) bump(C_FREES);
  __libc_free(p);
}

/* The real calls, looked up once. */
#define REAL(name) static __typeof__(name) *real_##name
REAL(pthread_mutex_lock);
REAL(clock_gettime);
REAL(gettimeofday);
REAL(recvfrom);
REAL(recvmsg);
REAL(recvmmsg);
REAL(sendto);
REAL(sendmsg);
REAL(sendmmsg);
REAL(poll);
REAL(epoll_wait);
REAL(select);
REAL(read);
REAL(write);

__attribute__((constructor)) static void find_real(void)
{
#define FIND(name) real_##name = (__typeof__(name) *)dlsym(RTLD_NEXT, #name)
  FIND(pthread_mutex_lock);
  FIND(clock_gettime);
  FIND(gettimeofday);
  FIND(recvfrom);
  FIND(recvmsg);
  FIND(recvmmsg);
  FIND(sendto);
  FIND(sendmsg);
  FIND(sendmmsg);
  FIND(poll);
  FIND(epoll_wait);
  FIND(select);
  FIND(read);
  FIND(write);
}

int pthread_mutex_lock(pthread_mutex_t *m)
{
  bump(C_LOCKS);
  return real_pthread_mutex_lock(m);
}

int clock_gettime(clockid_t id, struct timespec *t)
{
  bump(C_CLOCKS);
  return real_clock_gettime(id, t);
}

int gettimeofday(struct timeval *restrict t, void *restrict zone)
{
  bump(C_CLOCKS);
  return real_gettimeofday(t, zone);
}

ssize_t recvfrom(int fd, void *buf, size_t n, int flags, struct sockaddr *from, socklen_t *len)
{
  bump(C_SYSCALLS);
  return real_recvfrom(fd, buf, n, flags, from, len);
}

ssize_t recvmsg(int fd, struct msghdr *msg, int flags)
{
  bump(C_SYSCALLS);
  return real_recvmsg(fd, msg, flags);
}

int recvmmsg(int fd, struct mmsghdr *v, unsigned int n, int flags, struct timespec *t)
{
  bump(C_SYSCALLS);
  return real_recvmmsg(fd, v, n, flags, t);
}

ssize_t sendto(int fd, const void *buf, size_t n, int flags, const struct sockaddr *to, socklen_t len)
{
  bump(C_SYSCALLS);
  return real_sendto(fd, buf, n, flags, to, len);
}

ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
  bump(C_SYSCALLS);
  return real_sendmsg(fd, msg, flags);
}

int sendmmsg(int fd, struct mmsghdr *v, unsigned int n, int flags)
{
  bump(C_SYSCALLS);
  return real_sendmmsg(fd, v, n, flags);
}

int poll(struct pollfd *p, nfds_t n, int timeout)
{
  bump(C_SYSCALLS);
  return real_poll(p, n, timeout);
}

int epoll_wait(int ep, struct epoll_event *e, int max, int timeout)
{
  bump(C_SYSCALLS);
  return real_epoll_wait(ep, e, max, timeout);
}

int select(int n, fd_set *r, fd_set *w, fd_set *x, struct timeval *t)
{
  bump(C_SYSCALLS);
  return real_select(n, r, w, x, t);
}

ssize_t read(int fd, void *buf, size_t n)
{
  bump(C_SYSCALLS);
  return real_read(fd, buf, n);
}

ssize_t write(int fd, const void *buf, size_t n)
{
  bump(C_SYSCALLS);
  return real_write(fd, buf, n);
}
