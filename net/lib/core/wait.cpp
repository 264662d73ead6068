// net_wait and net_wake: sleeping in the operating system until a conn or a
// channel has something for the program, while the conns' protocol steps
// still run when a resend or a connect request falls due.
#include <chrono>
#include <mutex>

#include "connhelp.h"
#include "internal.h"
#include "waitsys.h"

namespace {

// The most descriptors one wait sleeps on; conns and channels beyond them
// are looked at every millisecond instead.
#define MAX_WAIT_FDS 256

// Every wait in progress, so that net_wake can reach each one's waker. The
// nodes live on the waiters' stacks.
struct waiter_t {
  int waker;
  int woken;  // set by net_wake, under waiters_mutex
  waiter_t *next;
};

std::mutex waiters_mutex;
waiter_t *waiters = nullptr;

// One waker per thread, made on the thread's first wait and closed when
// the thread ends.
struct thread_waker_t {
  int fd = __netlane_internal__waker_open();
  ~thread_waker_t() { __netlane_internal__waker_close(fd); }
};

class registration {
 public:
  explicit registration(int waker)
  {
    node_.waker = waker;
    node_.woken = 0;
    std::lock_guard<std::mutex> hold(waiters_mutex);
    // A wake meant for an earlier wait of this thread must not end this one.
    __netlane_internal__waker_clear(waker);
    node_.next = waiters;
    waiters = &node_;
  }
  ~registration()
  {
    std::lock_guard<std::mutex> hold(waiters_mutex);
    for (waiter_t **link = &waiters; *link; link = &(*link)->next) {
      if (*link == &node_) {
        *link = node_.next;
        break;
      }
    }
  }
  // Whether net_wake was called since the wait began; clears the waker.
  int woken()
  {
    std::lock_guard<std::mutex> hold(waiters_mutex);
    __netlane_internal__waker_clear(node_.waker);
    return node_.woken;
  }

 private:
  waiter_t node_;
};

// What one look at the conns and channels found, and how long the sleep
// after it may last.
struct look_t {
  int ready = 0;
  int fds[MAX_WAIT_FDS];
  int nfds = 0;
  int sleep_ms = -1;  // -1: until a descriptor is readable
  void sleep_at_most(int ms)
  {
    if (ms >= 0 && (sleep_ms < 0 || ms < sleep_ms)) sleep_ms = ms;
  }
};

// Whether a conn is ready, running its protocol step (net_query_rdm) or
// its handshake (net_poll_connect) on the way.
int conn_ready(NET_CONN *conn, int listening_waits)
{
  switch (conn->status) {
    case NET_CONN_CONNECTED:
      return net_query_rdm(conn) > 0;
    case NET_CONN_CONNECTING:
      return net_poll_connect(conn) != 0;
    case NET_CONN_LISTENING:
      return listening_waits;
    default:
      return 0;
  }
}

void look_at_conn(NET_CONN *conn, look_t *look)
{
  // Nothing takes in what reaches an idle conn's channel: sleeping on it
  // would wake at once for ever, and the conn can never become ready.
  if (conn->status == NET_CONN_IDLE) return;
  int got = 0, due = -1;
  int listening_waits = __netlane_internal__wrapper_wait_info(conn, look->fds + look->nfds,
                                                              MAX_WAIT_FDS - look->nfds, &got, &due);
  if (conn_ready(conn, listening_waits > 0)) look->ready++;
  look->nfds += got;
  look->sleep_at_most(due);
  // A conn of its own driver, or one whose channel offers nothing to sleep
  // on, is looked at every millisecond.
  if (listening_waits < 0 || got == 0) look->sleep_at_most(1);
}

void look_at_channel(NET_CHANNEL *chan, look_t *look)
{
  if (net_query(chan) > 0) look->ready++;
  int got = __netlane_internal__channel_wait_fds(chan, look->fds + look->nfds, MAX_WAIT_FDS - look->nfds);
  look->nfds += got;
  if (got == 0) look->sleep_at_most(1);
}

}  // namespace

int net_wait(NET_CONN **conns, int nconns, NET_CHANNEL **channels, int nchannels, int timeout_ms)
{
  if (nconns < 0 || nchannels < 0 || (nconns > 0 && !conns) || (nchannels > 0 && !channels)) return -1;
  for (int i = 0; i < nconns; i++)
    if (!conns[i]) return -1;
  for (int i = 0; i < nchannels; i++)
    if (!channels[i]) return -1;
  if (!__netlane_timer_func) return -1;

  static thread_local thread_waker_t waker;
  registration registered(waker.fd);
  // The caller's time-out runs on the real clock: the library's timer hook
  // may be a program's own clock that stands still.
  auto start = std::chrono::steady_clock::now();
  int woken = 0;
  for (;;) {
    look_t look;
    look.fds[look.nfds++] = waker.fd;
    for (int i = 0; i < nconns; i++) look_at_conn(conns[i], &look);
    for (int i = 0; i < nchannels; i++) look_at_channel(channels[i], &look);
    if (look.ready > 0 || woken || timeout_ms == 0) return look.ready;
    if (timeout_ms > 0) {
      auto spent = std::chrono::steady_clock::now() - start;
      long long left = timeout_ms - std::chrono::duration_cast<std::chrono::milliseconds>(spent).count();
      if (left <= 0) return 0;
      look.sleep_at_most((int)left);
    }
    // Without a waker of its own, the thread looks every millisecond so
    // that net_wake still ends its wait.
    if (waker.fd < 0) look.sleep_at_most(1);
    __netlane_internal__wait_readable(look.fds, look.nfds, look.sleep_ms);
    woken = registered.woken();
  }
}

void net_wake(void)
{
  std::lock_guard<std::mutex> hold(waiters_mutex);
  for (waiter_t *w = waiters; w; w = w->next) {
    w->woken = 1;
    __netlane_internal__waker_signal(w->waker);
  }
}
