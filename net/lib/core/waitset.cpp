// Wait sets: many conns and channels waited on together.
#include "waitset_internal.h"

void __netlane_internal__waitset_notify(void *) {}
void __netlane_internal__waitset_forget_conn(NET_CONN *) {}
void __netlane_internal__waitset_forget_channel(NET_CHANNEL *) {}
