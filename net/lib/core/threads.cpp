// The mutex hooks with their default routines: an atomic counter spin lock.
#include <atomic>
#include <new>

#include "internal.h"

void (*__netlane_internal__mutex_create)(void **mutex) = NULL;
void (*__netlane_internal__mutex_destroy)(void *mutex) = NULL;
void (*__netlane_internal__mutex_lock)(void *mutex) = NULL;
void (*__netlane_internal__mutex_unlock)(void *mutex) = NULL;

// A default mutex is one heap counter: 0 free, 1 held. A failed allocation
// leaves a NULL handle, which the lock and unlock routines pass over, so an
// out-of-memory start leaves the lists unguarded rather than crashing.
static void default_mutex_create(void **mutex)
{
  *mutex = new (std::nothrow) std::atomic<int>(0);
}

static void default_mutex_destroy(void *mutex)
{
  delete static_cast<std::atomic<int> *>(mutex);
}

// Spins without yielding: the library holds its locks only for a list walk
// or one driver call. Of two threads that increment at once only the first
// sees 1; the other sees 2 and backs off, so only one ever takes the lock.
static void default_mutex_lock(void *param)
{
  std::atomic<int> *counter = static_cast<std::atomic<int> *>(param);
  if (!counter) return;
  for (;;) {
    while (counter->load(std::memory_order_relaxed) != 0) {
    }
    if (counter->fetch_add(1, std::memory_order_acquire) + 1 == 1) return;
    counter->fetch_sub(1, std::memory_order_relaxed);
  }
}

static void default_mutex_unlock(void *mutex)
{
  std::atomic<int> *counter = static_cast<std::atomic<int> *>(mutex);
  if (!counter) return;
  counter->fetch_sub(1, std::memory_order_release);
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
