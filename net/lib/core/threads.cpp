// The mutex hooks with their default routines: a plain blocking mutex.
#include <mutex>
#include <new>

#include "internal.h"

void (*__netlane_internal__mutex_create)(void **mutex) = NULL;
void (*__netlane_internal__mutex_destroy)(void *mutex) = NULL;
void (*__netlane_internal__mutex_lock)(void *mutex) = NULL;
void (*__netlane_internal__mutex_unlock)(void *mutex) = NULL;

// A failed allocation leaves a NULL handle, which the lock and unlock
// routines pass over, so an out-of-memory start leaves the lists unguarded
// rather than crashing.
static void default_mutex_create(void **mutex)
{
  *mutex = new (std::nothrow) std::mutex();
}

static void default_mutex_destroy(void *mutex)
{
  delete static_cast<std::mutex *>(mutex);
}

// A waiting thread sleeps rather than spins: the holder may be a driver
// call that takes a while, and a spinning waiter would only take the
// processor from it.
static void default_mutex_lock(void *mutex)
{
  if (mutex) static_cast<std::mutex *>(mutex)->lock();
}

static void default_mutex_unlock(void *mutex)
{
  if (mutex) static_cast<std::mutex *>(mutex)->unlock();
}

void net_set_mutex_funcs(void (*create)(void **mutex), void (*destroy)(void *mutex),
                         void (*lock)(void *mutex), void (*unlock)(void *mutex))
{
  if (!create) {
    __netlane_internal__mutex_create = default_mutex_create;
    __netlane_internal__mutex_destroy = default_mutex_destroy;
    __netlane_internal__mutex_lock = default_mutex_lock;
    __netlane_internal__mutex_unlock = default_mutex_unlock;
    return;
  }
  __netlane_internal__mutex_create = create;
  __netlane_internal__mutex_destroy = destroy;
  __netlane_internal__mutex_lock = lock;
  __netlane_internal__mutex_unlock = unlock;
}
