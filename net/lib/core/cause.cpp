// The cause of the last failure, one per thread: the resolver's workers and
// a program's own threads each keep theirs, so no failure is reported to a
// thread that did not have it.
#include <string.h>

#include "cause.h"
#include "internal.h"

static thread_local int last_cause = NET_CAUSE_NONE;
static thread_local char last_address[NET_MAX_ADDRESS_LENGTH];

void __netlane_internal__set_cause(int cause, const char *address)
{
  last_cause = cause;
  last_address[0] = 0;
  if (address)
    __netlane_internal__copy_address(last_address, address);
}

int net_last_cause(char *address)
{
  if (address)
    __netlane_internal__copy_address(address, last_address);
  return last_cause;
}
