// Conns: the driver-independent layer of reliable message endpoints, with
// their states, the blocking connect routines and the open-conn list.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "connhelp.h"
#include "conns.h"
#include "internal.h"
#include "waitset_internal.h"

__conn_list_t *__netlane_internal__openconns = NULL;
void *__netlane_internal__openconns_mutex = NULL;

static void lock(void)
{
  __netlane_internal__mutex_lock(__netlane_internal__openconns_mutex);
}

static void unlock(void)
{
  __netlane_internal__mutex_unlock(__netlane_internal__openconns_mutex);
}

void __netlane_internal__conns_init(void)
{
  __conn_list_t *head = static_cast<__conn_list_t *>(malloc(sizeof *head));
  if (head) {
    head->next = NULL;
    head->conn = NULL;
  }
  __netlane_internal__openconns = head;
  __netlane_internal__openconns_mutex = NULL;
  __netlane_internal__mutex_create(&__netlane_internal__openconns_mutex);
}

void __netlane_internal__conns_exit(void)
{
  __conn_list_t *head = __netlane_internal__openconns;
  while (head && head->next) {
    if (net_closeconn(head->next->conn) != 0) break;
  }
  free(head);
  __netlane_internal__openconns = NULL;
  __netlane_internal__mutex_destroy(__netlane_internal__openconns_mutex);
  __netlane_internal__openconns_mutex = NULL;
}

// Allocates a conn in state 1 and its list node, unlinked. NULL when memory
// ran out (nothing is left allocated).
static NET_CONN *create_conn(__conn_list_t **node_out)
{
  __conn_list_t *node = static_cast<__conn_list_t *>(malloc(sizeof *node));
  NET_CONN *conn = static_cast<NET_CONN *>(malloc(sizeof *conn));
  if (!node || !conn) {
    free(node);
    free(conn);
    return NULL;
  }
  memset(conn, 0, sizeof *conn);
  conn->status = NET_CONN_IDLE;
  node->conn = conn;
  *node_out = node;
  return conn;
}

// Puts a node right after the head, newest first.
static void link_conn(__conn_list_t *head, __conn_list_t *node)
{
  lock();
  node->next = head->next;
  head->next = node;
  unlock();
}

/* The new conn in state 1, or NULL when the library is down, memory ran
 * out, no driver is registered under `type`, the driver has no conns, or its
 * init_conn refused. init_conn runs without the open-conn mutex: opening
 * the conn's channel may look a host name up, which can take seconds while
 * other threads close their conns. The conn joins the list once open. */
NET_CONN *net_openconn(int type, const char *addr)
{
  __conn_list_t *head = __netlane_internal__openconns;
  if (!head) return NULL;

  __conn_list_t *node;
  NET_CONN *conn = create_conn(&node);
  if (!conn) return NULL;
  conn->type = type;
  conn->driver = __netlane_internal__get_driver(type);
  if (!conn->driver || !conn->driver->init_conn || conn->driver->init_conn(conn, addr) != 0) {
    free(node);
    free(conn);
    return NULL;
  }
  link_conn(head, node);
  return conn;
}

/* 0: closed; -1: `conn` is not an open conn (nothing is called). The
 * driver's destroy_conn runs with the open-conn mutex held. */
int net_closeconn(NET_CONN *conn)
{
  __conn_list_t *head = __netlane_internal__openconns;
  if (!head || !conn) return -1;

  // First out of every wait set, waiting for the waits that are looking
  // at it: afterwards nothing but this call touches it.
  __netlane_internal__waitset_forget_conn(conn);
  lock();
  __conn_list_t *prev = head;
  while (prev->next && prev->next->conn != conn) prev = prev->next;
  __conn_list_t *node = prev->next;
  if (!node) {
    unlock();
    return -1;
  }
  if (conn->driver && conn->driver->destroy_conn) conn->driver->destroy_conn(conn);
  prev->next = node->next;
  free(node);
  free(conn);
  unlock();
  return 0;
}

/* 0: now listening; -1: not idle, or the driver refused (still idle). */
int net_listen(NET_CONN *conn)
{
  if (!conn || conn->status != NET_CONN_IDLE || !conn->driver->listen) return -1;
  if (conn->driver->listen(conn) != 0) return -1;
  conn->status = NET_CONN_LISTENING;
  return 0;
}

/* A newly accepted conn in state 4, or NULL when none was accepted. At most
 * one peer per call; called from one thread at a time (newconn is shared). */
NET_CONN *net_poll_listen(NET_CONN *conn)
{
  static NET_CONN newconn;

  if (!conn || conn->status != NET_CONN_LISTENING || !conn->driver->poll_listen) return NULL;
  memset(&newconn, 0, sizeof newconn);
  newconn.type = conn->type;
  newconn.driver = conn->driver;
  if (!conn->driver->poll_listen(conn, &newconn)) return NULL;
  newconn.status = NET_CONN_CONNECTED;
  newconn.peer_addr[NET_MAX_ADDRESS_LENGTH - 1] = '\0';

  __conn_list_t *head = __netlane_internal__openconns;
  __conn_list_t *node;
  NET_CONN *accepted = head ? create_conn(&node) : NULL;
  if (accepted) {
    *accepted = newconn;
    link_conn(head, node);
    return accepted;
  }
  // Nowhere to record the peer: let the driver release what it built for it.
  if (newconn.driver->destroy_conn) newconn.driver->destroy_conn(&newconn);
  return NULL;
}

/* 0: attempt started; -1: not idle, or the driver refused (still idle). */
int net_connect(NET_CONN *conn, const char *addr)
{
  if (!conn || conn->status != NET_CONN_IDLE || !conn->driver->connect) return -1;
  if (conn->driver->connect(conn, addr) != 0) return -1;
  conn->status = NET_CONN_CONNECTING;
  return 0;
}

/* 0: still connecting; 1: connected; -1: failed (back to idle, may connect
 * again) or not connecting. */
int net_poll_connect(NET_CONN *conn)
{
  if (!conn) return -1;
  if (conn->status == NET_CONN_CONNECTED) return 1;
  if (conn->status != NET_CONN_CONNECTING) return -1;
  int answer = conn->driver->poll_connect ? conn->driver->poll_connect(conn) : -1;
  if (answer == 0) return 0;
  if (answer > 0) {
    conn->status = NET_CONN_CONNECTED;
    return 1;
  }
  conn->status = NET_CONN_IDLE;
  return -1;
}

// Busy-waits on the timer hook, so a program (or a test) that installs its
// own timer decides how long a "second" takes.
static void safe_sleep(int seconds)
{
  unsigned int (*timer)(void) = __netlane_timer_func;
  if (!timer) return;
  unsigned int start = timer();
  int32_t wait = seconds * 1000;
  if (wait <= 0) return;
  while (static_cast<int32_t>(timer() - start) < wait) {
  }
}

static int wait_result(int poll)
{
  if (poll < 0) return -1;
  return poll > 0 ? 0 : 1;
}

/* 0: connected; 1: `time` + 1 polls a second apart did not connect (the conn
 * is still connecting); -1: refused or failed. */
int net_connect_wait_time(NET_CONN *conn, const char *addr, int time)
{
  if (net_connect(conn, addr) != 0) return -1;
  // Every negative time polls once; clamped so that counting down from
  // INT_MIN cannot overflow.
  if (time < 0) time = -1;
  int poll;
  do {
    time--;
    poll = net_poll_connect(conn);
    safe_sleep(1);
  } while (time >= 0 && poll == 0);
  return wait_result(poll);
}

/* 0: connected; 1: stopped by `cb` answering nonzero; -1: refused or failed.
 * With `cb` NULL it waits until the driver reports success or failure. */
int net_connect_wait_cb(NET_CONN *conn, const char *addr, int (*cb)(void))
{
  if (net_connect(conn, addr) != 0) return -1;
  int stop = 0;
  int poll;
  do {
    if (cb) stop = cb();
    poll = net_poll_connect(conn);
    safe_sleep(1);
  } while (!stop && poll == 0);
  return wait_result(poll);
}

/* As net_connect_wait_cb, also stopping after `time` polls (one at least). */
int net_connect_wait_cb_time(NET_CONN *conn, const char *addr, int (*cb)(void), int time)
{
  if (net_connect(conn, addr) != 0) return -1;
  if (time < 0) time = 0;  // one poll, as for 0, without overflowing at INT_MIN
  int stop = 0;
  int poll;
  do {
    if (cb) stop = cb();
    time--;
    poll = net_poll_connect(conn);
    safe_sleep(1);
  } while (!stop && time > 0 && poll == 0);
  return wait_result(poll);
}

// The rdm operations hand straight to the driver: no state test, no lock.
// A driver without the slot answers as a failed call would.

int net_send_rdm(NET_CONN *conn, const void *buffer, int size)
{
  if (!conn || !conn->driver->send_rdm) return -1;
  return conn->driver->send_rdm(conn, buffer, size);
}

int net_receive_rdm(NET_CONN *conn, void *buffer, int maxsize)
{
  if (!conn || !conn->driver->recv_rdm) return -1;
  return conn->driver->recv_rdm(conn, buffer, maxsize);
}

int net_query_rdm(NET_CONN *conn)
{
  if (!conn || !conn->driver->query_rdm) return 0;
  return conn->driver->query_rdm(conn);
}

int net_ignore_rdm(NET_CONN *conn)
{
  if (!conn || !conn->driver->ignore_rdm) return 0;
  return conn->driver->ignore_rdm(conn);
}

int net_conn_stats(NET_CONN *conn, int *in_q, int *out_q)
{
  if (!conn || !conn->driver->conn_stats) return -1;
  return conn->driver->conn_stats(conn, in_q, out_q);
}

int net_conn_figures(NET_CONN *conn, NET_CONN_FIGURES *figures)
{
  return __netlane_internal__wrapper_figures(conn, figures);
}

/* The peer's address text while connected; NULL in any other state. */
char *net_getpeer(NET_CONN *conn)
{
  if (!conn || conn->status != NET_CONN_CONNECTED) return NULL;
  return conn->peer_addr;
}

/* The number the conn's driver record is registered under; -1 if none. */
int net_conn_driver(NET_CONN *conn)
{
  if (!conn) return -1;
  return __netlane_internal__get_driver_by_ptr(conn->driver);
}
