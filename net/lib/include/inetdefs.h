/* The Internet driver's per-channel record, shared with tests that look at
 * the socket a channel owns. */
#ifndef NETLANE_INETDEFS_H
#define NETLANE_INETDEFS_H

#include <netinet/in.h>

#include "inetsock.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The UDP port of a binding or target text that names none. */
#define INET_DEFAULT_PORT 24785

typedef struct channel_data_t {
  inet_socket_t sock;                  /* the channel's UDP socket */
  union {
    struct sockaddr_in target_address;   /* the target, IPv4; network order */
    struct sockaddr_in6 target_address6; /* the target, IPv6 */
  };
  int address_length;                  /* 0 until a target is set, then 16
                                          (IPv4) or 28 (IPv6) */
  int family;                          /* the socket's: AF_INET6 (carrying
                                          both families) or AF_INET */
  struct sockaddr_storage send_address; /* the target as the socket takes it */
  unsigned long drained_round;         /* the wait round it was last found
                                          empty in (binaddr.h); 0 none */
  int drained_skips;                   /* reads passed over since */
  /* A second datagram taken with the first by a conn's read, which the
   * next read hands out: one call then both takes what came and tells
   * that nothing more waits. Its buffer is made on first use. */
  unsigned char *stash;
  int stash_cap;
  int stash_len;                       /* -1 cut short */
  int stashed;                         /* 1 while it holds one */
  struct sockaddr_storage stash_sender;
} channel_data_t;

#ifdef __cplusplus
}
#endif

#endif
