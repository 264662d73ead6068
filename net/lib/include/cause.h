/* Why the last failure happened, as the platform seams saw it: they note a
 * NET_CAUSE_* code and the address concerned, net_last_cause answers it. */
#ifndef NETLANE_CAUSE_H
#define NETLANE_CAUSE_H

#include "netlane.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Notes `cause` for this thread, with the address text it concerns (NULL:
 * none). NET_CAUSE_NONE forgets the previous one. */
void __netlane_internal__set_cause(int cause, const char *address);

#ifdef __cplusplus
}
#endif

#endif
