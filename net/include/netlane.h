/* netlane: the network library's public interface.
 * Numbered drivers give unreliable datagram channels and reliable, ordered
 * message conns; this header compiles as C and as C++. */
#ifndef NETLANE_H
#define NETLANE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Address texts live in 128-byte fields: 127 characters and the NUL. */
#define NET_MAX_ADDRESS_LENGTH 128

/* Built-in driver numbers; 10, 14 and 15 are left for automatic numbering. */
#define NET_DRIVER_NONET         1
#define NET_DRIVER_LOCAL         2
#define NET_DRIVER_WSOCK_DOS     3
#define NET_DRIVER_WSOCK_WIN     4
#define NET_DRIVER_SOCKETS       5
#define NET_DRIVER_IPX_DOS       6
#define NET_DRIVER_IPX_WIN       7
#define NET_DRIVER_IPX_LINUX     8
#define NET_DRIVER_SERIAL_DOS    9
#define NET_DRIVER_SERIAL_LINUX 11
#define NET_DRIVER_SERIAL_BEOS  12
#define NET_DRIVER_BESOCKS      13

/* Driver classes (indices into net_classes). */
#define NET_CLASS_NONE     0
#define NET_CLASS_INTERNET 1
#define NET_CLASS_IPX      2
#define NET_CLASS_SERIAL   3
#define NET_CLASS_LOCAL    4
#define NET_MAX_CLASSES   16

/* Conn states. */
#define NET_CONN_IDLE       1
#define NET_CONN_LISTENING  2
#define NET_CONN_CONNECTING 3
#define NET_CONN_CONNECTED  4

/* A set of driver numbers 0..31: one heap cell holding a bit mask
 * (driver n is a member when bit n is set). */
typedef unsigned int *NET_DRIVERLIST;

typedef struct NET_DRIVER NET_DRIVER;
typedef struct NET_CHANNEL NET_CHANNEL;
typedef struct NET_CONN NET_CONN;
struct conn_config;

/* What a conn has measured and counted since it was opened, as
 * net_conn_figures fills it in. Times are in milliseconds of the library's
 * timer; counts start at 0. Fields may be added at the end later. */
typedef struct NET_CONN_FIGURES {
  int round_trip;            /* smoothed round-trip estimate; -1 before the first measurement */
  int round_trip_variation;  /* its mean deviation; -1 before the first measurement */
  int resend_wait;           /* how long a message sent once now waits before it is sent again */
  long messages_sent;        /* messages sent at least once */
  long messages_resent;      /* transmissions beyond each message's first */
  long datagrams_received;   /* every datagram taken from the conn's channel */
  long dropped_window;       /* data packets beyond the receive window */
  long dropped_foreign;      /* datagrams from an address other than the peer's */
  long dropped_malformed;    /* datagrams that are no packet of the protocol */
  int peer_silence;          /* since any datagram last came from the peer (as of
                                the last protocol step); -1 while not connected */
  long peer_keepalives;      /* keep-alives heard from the peer: none means a peer
                                that sends none, whose silence says nothing */
  int dead;                  /* 1 once the oldest unacknowledged message has
                                waited conn_dead_after ms: the peer counts as
                                gone, and nothing is sent to it any more */
  int proved;                /* 1 once the peer has shown that it receives what
                                is sent to the address it speaks from (it
                                echoed the listener's cookie); a peer of the
                                plain handshake never has, and its address
                                may be forged */
  long handshake_repeats;    /* handshake answers (cookies, admits, accepts)
                                that reached the conn once it was connected:
                                repeats of one already taken, or forged */
} NET_CONN_FIGURES;

/* An address-preparation (name resolution) request, made through a driver's
 * prepareaddress slot and polled through its poll_prepareaddress slot until
 * that answers nonzero (1: `dest`, at least 128 bytes, holds the prepared
 * text; -1: failed). The request and `dest` stay the caller's: they are
 * written only during those calls, never by a worker in between. */
typedef struct NET_PREPADDR_DATA {
  NET_DRIVER *driver;
  char src[NET_MAX_ADDRESS_LENGTH];
  char *dest;
  void *driver_data;
} NET_PREPADDR_DATA;

struct NET_CHANNEL {
  int type;                                 /* driver number */
  NET_DRIVER *driver;
  char target_addr[NET_MAX_ADDRESS_LENGTH];
  char local_addr[NET_MAX_ADDRESS_LENGTH];
  void *data;                               /* the driver's state */
};

struct NET_CONN {
  int type;                                 /* driver number */
  NET_DRIVER *driver;
  int status;                               /* NET_CONN_* */
  char peer_addr[NET_MAX_ADDRESS_LENGTH];
  void *data;                               /* the driver's state */
};

/* One driver: a static record of operation slots; an empty slot (NULL)
 * means the driver does not offer that operation. */
struct NET_DRIVER {
  const char *name;
  const char *desc;
#ifdef __cplusplus
  int class_;   /* the C field `class`, spelled so C++ can name it */
#else
  int class;
#endif

  int (*detect)(void);
  int (*init)(void);
  int (*exit)(void);

  int (*prepareaddress)(NET_PREPADDR_DATA *data);
  int (*poll_prepareaddress)(NET_PREPADDR_DATA *data);

  int (*init_channel)(NET_CHANNEL *chan, const char *addr);
  int (*destroy_channel)(NET_CHANNEL *chan);
  int (*update_target)(NET_CHANNEL *chan);
  int (*send)(NET_CHANNEL *chan, const void *buf, int size);
  int (*recv)(NET_CHANNEL *chan, void *buf, int size, char *from);
  int (*query)(NET_CHANNEL *chan);

  int (*init_conn)(NET_CONN *conn, const char *addr);
  int (*destroy_conn)(NET_CONN *conn);
  int (*listen)(NET_CONN *conn);
  int (*poll_listen)(NET_CONN *conn, NET_CONN *newconn);
  int (*connect)(NET_CONN *conn, const char *addr);
  int (*poll_connect)(NET_CONN *conn);
  int (*send_rdm)(NET_CONN *conn, const void *buf, int size);
  int (*recv_rdm)(NET_CONN *conn, void *buf, int max);
  int (*query_rdm)(NET_CONN *conn);
  int (*ignore_rdm)(NET_CONN *conn);
  int (*conn_stats)(NET_CONN *conn, int *in_q, int *out_q);

  void (*load_config)(NET_DRIVER *drv, FILE *fp);
  void (*load_conn_config)(NET_DRIVER *drv, FILE *fp, const char *section);

  struct conn_config *conn_config;

  /* Descriptors the operating system can sleep on (poll(2)) that become
   * readable when a datagram for `chan` may have arrived: how many were
   * written to `fds` (at most `max`); 0 when there are none. An empty slot
   * means the driver offers no way to wait, and net_wait looks at its
   * channels every millisecond instead. */
  int (*wait_fds)(NET_CHANNEL *chan, int *fds, int max);

  /* Sending to many peers from one channel (a listener's port, shared by
   * its accepted conns). prepare_target turns an address text into the
   * driver's own form of it in `prepared` (NET_PREPARED_TARGET_SIZE bytes):
   * 0 done, nonzero not an address of this driver. send_to sends one
   * datagram to such a prepared address and answers as send does, without
   * touching the channel's own target. Empty slots: the library then sets
   * the channel's target before each send instead. */
  int (*prepare_target)(NET_CHANNEL *chan, const char *addr, void *prepared);
  int (*send_to)(NET_CHANNEL *chan, const void *buf, int size, const void *prepared);
};

/* Room for one prepared address (a socket address of any family). */
#define NET_PREPARED_TARGET_SIZE 32

typedef struct NET_DRIVERNAME {
  int num;
  const char *name;
} NET_DRIVERNAME;

typedef struct NET_CLASS {
  const char *name;
  const char *addrhelp;
  NET_DRIVERLIST drivers;
} NET_CLASS;

extern NET_DRIVERLIST net_drivers_all;
extern NET_CLASS net_classes[NET_MAX_CLASSES];

/* Start and stop. net_init: 0 ready (also when already up), 1 the exit
 * routine could not be registered. net_shutdown: 0 done, 1 not up. */
int net_init(void);
int net_shutdown(void);
void net_set_mutex_funcs(void (*create)(void **mutex), void (*destroy)(void *mutex),
                         void (*lock)(void *mutex), void (*unlock)(void *mutex));
void net_set_timer_func(unsigned int (*timer)(void));

/* Registry: the number registered under, 0 on failure. */
int net_register_driver(int num, NET_DRIVER *driver);
int net_driver_class(int drvid);
NET_DRIVERNAME *net_getdrivernames(NET_DRIVERLIST which);

NET_DRIVERLIST net_detectdrivers(NET_DRIVERLIST which);
int net_detectdriver(int which);
NET_DRIVERLIST net_initdrivers(NET_DRIVERLIST which);
int net_initdriver(int which);

NET_DRIVERLIST net_driverlist_create(void);
void net_driverlist_destroy(NET_DRIVERLIST list);
int net_driverlist_clear(NET_DRIVERLIST list);
int net_driverlist_add(NET_DRIVERLIST list, int driver);
int net_driverlist_remove(NET_DRIVERLIST list, int driver);
int net_driverlist_test(NET_DRIVERLIST list, int driver);
int net_driverlist_foreach(NET_DRIVERLIST list, int (*func)(int driver, void *dat), void *dat);
int net_driverlist_count(NET_DRIVERLIST list);
int net_driverlist_add_list(NET_DRIVERLIST list1, NET_DRIVERLIST list2);
int net_driverlist_remove_list(NET_DRIVERLIST list1, NET_DRIVERLIST list2);

/* Configuration: 0 loaded, 1 no such file or directory, 2 cannot open, or
 * not a regular file of at most 1 MB. A UTF-8 byte-order mark is skipped.
 * Settings last until net_shutdown, which puts the built-in drivers' back to
 * their defaults. Conn queue sizes are taken up to 4096 slots. */
int net_loadconfig(const char *fname);

/* Ends an address preparation that has not yet been polled to its end,
 * whether or not its worker has finished: 0 ended (the request and its dest
 * may be freed at once); -1 none is under way for `data`. net_shutdown ends
 * every preparation still under way; polling one afterwards answers -1. */
int net_cancel_prepareaddress(NET_PREPADDR_DATA *data);

/* Channels: unreliable datagrams to one target. */
NET_CHANNEL *net_openchannel(int type, const char *addr);
int net_closechannel(NET_CHANNEL *channel);
int net_assigntarget(NET_CHANNEL *channel, const char *target);
char *net_getlocaladdress(NET_CHANNEL *channel);
int net_send(NET_CHANNEL *channel, const void *buffer, int size);
int net_receive(NET_CHANNEL *channel, void *buffer, int maxsize, char *from);
int net_query(NET_CHANNEL *channel);
int net_channel_driver(NET_CHANNEL *chan);

/* Conns: reliable, ordered messages between two peers. */
NET_CONN *net_openconn(int type, const char *addr);
int net_closeconn(NET_CONN *conn);
int net_listen(NET_CONN *conn);
NET_CONN *net_poll_listen(NET_CONN *conn);
int net_connect(NET_CONN *conn, const char *addr);
int net_poll_connect(NET_CONN *conn);
int net_connect_wait_time(NET_CONN *conn, const char *addr, int time);
int net_connect_wait_cb(NET_CONN *conn, const char *addr, int (*cb)(void));
int net_connect_wait_cb_time(NET_CONN *conn, const char *addr, int (*cb)(void), int time);
int net_send_rdm(NET_CONN *conn, const void *buffer, int size);
int net_receive_rdm(NET_CONN *conn, void *buffer, int maxsize);
int net_query_rdm(NET_CONN *conn);
int net_ignore_rdm(NET_CONN *conn);
int net_conn_stats(NET_CONN *conn, int *in_q, int *out_q);
char *net_getpeer(NET_CONN *conn);
/* The local address text of the channel under a conn of the reliable
 * wrapper (":24785" for one bound to all interfaces); NULL for other conns. */
char *net_getconnlocaladdress(NET_CONN *conn);
int net_conn_driver(NET_CONN *conn);
/* Fills `figures` for a conn of a driver that takes its conns from the
 * library's reliable-delivery layer (every built-in driver but the
 * no-network one): 0 filled; -1 any other conn, or `figures` NULL. Runs no
 * protocol step, so it can watch a conn without changing its course. */
int net_conn_figures(NET_CONN *conn, NET_CONN_FIGURES *figures);

/* Sleeps until one of the given conns or channels is ready, or
 * `timeout_ms` passed (0: look once without sleeping; negative: no limit),
 * or net_wake is called. Either array may be NULL when its count is 0.
 * Ready means: a channel has a datagram to read (net_query); a connected
 * conn has a message to receive (net_query_rdm); a listening conn has a
 * datagram waiting, most likely a connection request (net_poll_listen);
 * a connecting conn has connected or failed (it has then been polled, so
 * its state says which). While it sleeps, the conns' protocol keeps
 * working: resends, acknowledgements and connect requests go out on time.
 * Answers how many of the given conns and channels are ready, 0 when none
 * became ready in time or net_wake ended the wait, -1 for a negative count,
 * a NULL array with a positive count, a NULL entry, or the library not up.
 * A conn or channel closed by another thread meanwhile leaves the wait,
 * which then returns what is ready; the close returns once the wait has
 * let go of it. */
int net_wait(NET_CONN **conns, int nconns, NET_CHANNEL **channels, int nchannels, int timeout_ms);

/* Wait sets: many conns and channels waited on together, each taken in
 * once, so that a wait costs what happens rather than how many members
 * there are. A member is ready as for net_wait. add: 0, or -1 (a NULL
 * argument, no memory, or already a member). remove: 0, or -1 not there.
 * net_waitset_wait writes the `user` pointers of up to `max` ready members
 * into `ready` and answers how many: 0 when `timeout_ms` passed (0 looks
 * once, negative waits without limit), net_wake was called, or a member was
 * closed meanwhile; -1 for a NULL set or array, `max` below 1, or the
 * library not up. Ready members beyond `max`, and those the program leaves
 * ready, come again at the next call. Closing a conn or channel takes it
 * out of every set. While a set is waited on, its conns' protocol keeps
 * working: resends, acknowledgements, keep-alives and connect requests go
 * out on time. One thread waits on a set at a time; others may add, remove
 * and close members meanwhile. */
typedef struct NET_WAITSET NET_WAITSET;
NET_WAITSET *net_waitset_create(void);                                        /* NULL on failure */
int net_waitset_add_conn(NET_WAITSET *set, NET_CONN *conn, void *user);       /* 0, or -1 */
int net_waitset_add_channel(NET_WAITSET *set, NET_CHANNEL *chan, void *user); /* 0, or -1 */
int net_waitset_remove_conn(NET_WAITSET *set, NET_CONN *conn);                /* 0, or -1 not there */
int net_waitset_remove_channel(NET_WAITSET *set, NET_CHANNEL *chan);          /* 0, or -1 not there */
int net_waitset_wait(NET_WAITSET *set, void **ready, int max, int timeout_ms);
void net_waitset_destroy(NET_WAITSET *set);

/* Makes every net_wait and net_waitset_wait in progress return at once with what is ready then.
 * Safe from any thread (not from a signal handler) at any time; a call
 * while nobody waits has no effect. */
void net_wake(void);

/* The largest message net_send_rdm takes on a conn of a built-in driver:
 * NET_MAX_MESSAGE_SIZE on the Internet drivers, NET_MAX_SMALL_MESSAGE_SIZE
 * on the local and IPX drivers. A longer message is refused (-1, as when
 * the window is full) and always will be: sending it again cannot help. */
#define NET_MAX_MESSAGE_SIZE       16380
#define NET_MAX_SMALL_MESSAGE_SIZE   508

/* Why the calling thread's last failed call failed, where the operating
 * system said so; result codes stay what each routine documents.
 * net_openchannel, net_openconn and net_connect forget the previous cause
 * when they start, so after one of them fails the cause is its own (or
 * NET_CAUSE_NONE when no system call refused: a malformed address text, no
 * such driver, no memory). `address` is NULL or a field of
 * NET_MAX_ADDRESS_LENGTH bytes that receives the address text concerned
 * (":24785" for a port that could not be bound, the host name that was not
 * found), or "" when none. */
#define NET_CAUSE_NONE           0
#define NET_CAUSE_ADDRESS_IN_USE 1  /* another socket has the port */
#define NET_CAUSE_NOT_ALLOWED    2  /* the system does not let this program use it */
#define NET_CAUSE_NO_SUCH_HOST   3  /* the host name is not known (or no name server answered) */
#define NET_CAUSE_NOT_LOCAL      4  /* the address is none of this machine's */
#define NET_CAUSE_NO_RESOURCES   5  /* out of descriptors, buffers or memory */
#define NET_CAUSE_UNREACHABLE    6  /* no route to that network */
#define NET_CAUSE_OTHER          7  /* refused for another reason */
int net_last_cause(char *address);

#ifdef __cplusplus
}
#endif

#endif /* NETLANE_H */
