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
  inet_socket_t sock;                /* the channel's UDP socket */
  struct sockaddr_in target_address; /* where send goes; network order */
  int address_length;                /* 0 until a target is set, then 16 */
} channel_data_t;

#ifdef __cplusplus
}
#endif

#endif
