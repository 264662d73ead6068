// Address preparation requests, each on a worker thread of its own. The
// caller's request holds only a number; the worker prepares a copy of the
// text into its own buffer and, when it is done, looks its request up by
// that number under the lock. A request that was cancelled or ended by
// net_shutdown is gone by then and the answer is dropped, so no worker ever
// writes into a request or a buffer its caller may already have freed: the
// text reaches `dest` in the poll that collects it, on the caller's thread.
#include <stdint.h>
#include <string.h>

#include <mutex>
#include <new>
#include <thread>

#include "internal.h"
#include "prepare.h"

namespace {

struct request_t {
  uintptr_t id;                         // what the caller's driver_data holds
  int done;                             // 0 running, 1 `result` holds the text, -1 failed
  char result[NET_MAX_ADDRESS_LENGTH];
  request_t *next;
};

struct text_t {
  char text[NET_MAX_ADDRESS_LENGTH];
};

// A caller that gives up on a lookup that hangs and asks again would
// otherwise leave one more blocked thread behind each time.
const int MAX_WORKERS = 64;

// Guards the three below. std::mutex needs no destructor here, so a worker
// that finishes while the process runs its exit routines still finds it.
std::mutex requests_mutex;
request_t *requests = NULL;
uintptr_t last_id = 0;
int workers = 0;  // running, those of ended requests included

// The link that holds the request numbered `id`, or the list's end (NULL)
// when there is none. The caller holds the lock.
request_t **find(uintptr_t id)
{
  request_t **p = &requests;
  while (*p && (*p)->id != id) p = &(*p)->next;
  return p;
}

void worker(uintptr_t id, prepare_func_t prepare, text_t src)
{
  text_t out;
  out.text[0] = '\0';
  int done = prepare(src.text, out.text) == 0 ? 1 : -1;
  out.text[NET_MAX_ADDRESS_LENGTH - 1] = '\0';

  std::lock_guard<std::mutex> hold(requests_mutex);
  request_t *r = *find(id);
  if (r) {
    r->done = done;
    memcpy(r->result, out.text, sizeof out.text);
  }
  workers--;
}

}  // namespace

int __netlane_internal__prepare_start(NET_PREPADDR_DATA *d, prepare_func_t prepare)
{
  if (!d || !d->dest || !prepare) return -1;
  text_t src;
  size_t len = strnlen(d->src, NET_MAX_ADDRESS_LENGTH - 1);
  memcpy(src.text, d->src, len);
  src.text[len] = '\0';
  request_t *r = new (std::nothrow) request_t();
  if (!r) return -1;

  // The worker may finish before this returns; it waits for the lock and
  // then finds its request linked.
  std::lock_guard<std::mutex> hold(requests_mutex);
  if (workers >= MAX_WORKERS) {
    delete r;
    return -1;
  }
  r->id = ++last_id;
  r->done = 0;
  try {
    std::thread(worker, r->id, prepare, src).detach();
  } catch (...) {
    delete r;
    return -1;
  }
  r->next = requests;
  requests = r;
  workers++;
  d->driver_data = reinterpret_cast<void *>(r->id);
  return 0;
}

int __netlane_internal__prepare_poll(NET_PREPADDR_DATA *d)
{
  if (!d || !d->driver_data) return -1;
  request_t *r;
  {
    std::lock_guard<std::mutex> hold(requests_mutex);
    request_t **p = find(reinterpret_cast<uintptr_t>(d->driver_data));
    r = *p;
    if (r && r->done == 0) return 0;
    if (r) *p = r->next;
  }
  d->driver_data = NULL;
  if (!r) return -1;
  int done = r->done;
  if (done == 1) memcpy(d->dest, r->result, strlen(r->result) + 1);
  delete r;
  return done;
}

/* 0: ended, and `data` and its dest are the caller's again; -1: no such
 * request is under way. */
int net_cancel_prepareaddress(NET_PREPADDR_DATA *data)
{
  if (!data || !data->driver_data) return -1;
  request_t *r;
  {
    std::lock_guard<std::mutex> hold(requests_mutex);
    request_t **p = find(reinterpret_cast<uintptr_t>(data->driver_data));
    r = *p;
    if (r) *p = r->next;
  }
  if (!r) return -1;
  delete r;
  data->driver_data = NULL;
  return 0;
}

void __netlane_internal__prepare_exit(void)
{
  std::lock_guard<std::mutex> hold(requests_mutex);
  while (requests) {
    request_t *next = requests->next;
    delete requests;
    requests = next;
  }
}

int __netlane_internal__prepare_workers(void)
{
  std::lock_guard<std::mutex> hold(requests_mutex);
  return workers;
}
