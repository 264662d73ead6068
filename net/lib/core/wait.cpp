// Wait sets, net_wait and net_wake, on top of the conns' I/O layer:
// sleeping in the operating system's readiness interface until a conn or a
// channel has something for the program, while the conns' protocol still
// runs when a resend, keep-alive or connect request falls due. Each
// descriptor is registered once however many members sleep on it; every
// member's next due time sits in one heap; a wake looks only at the members
// that got datagrams or whose time came.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "connhelp.h"
#include "internal.h"
#include "sharedport.h"
#include "waitset_internal.h"
#include "waitsys.h"

namespace {

using clock_type = std::chrono::steady_clock;

#define MEMBER_FDS 8   // descriptors one member sleeps on
#define EVENTS 64      // readable descriptors taken per sleep

// Every thread that has waited, so that net_wake can reach the waker of
// each wait in progress. A thread's node is linked at its first wait and
// unlinked when it ends: a wait itself takes no lock to be found.
struct waiter_t {
  std::atomic<int> waker{-1};  // the set's of the wait in progress; -1 none
  std::atomic<int> woken{0};   // set by net_wake
  waiter_t *next = nullptr;
};

std::mutex waiters_mutex;
waiter_t *waiters = nullptr;

struct waiter_slot {
  waiter_t node;
  bool linked = false;
  ~waiter_slot()
  {
    if (!linked) return;
    std::lock_guard<std::mutex> hold(waiters_mutex);
    for (waiter_t **link = &waiters; *link; link = &(*link)->next) {
      if (*link == &node) {
        *link = node.next;
        break;
      }
    }
  }
};
thread_local waiter_slot this_waiter;

// A wait in progress on this thread, for the guard's life (a wait inside
// another puts the outer one's waker back when it ends).
class registration {
 public:
  explicit registration(int waker)
  {
    waiter_t &node = this_waiter.node;
    if (!this_waiter.linked) {
      std::lock_guard<std::mutex> hold(waiters_mutex);
      node.next = waiters;
      waiters = &node;
      this_waiter.linked = true;
    }
    saved_woken_ = node.woken.exchange(0);
    saved_waker_ = node.waker.exchange(waker);
  }
  ~registration()
  {
    waiter_t &node = this_waiter.node;
    node.waker.store(saved_waker_);
    if (saved_woken_) node.woken.store(1);
  }
  int woken() { return this_waiter.node.woken.load(); }

 private:
  int saved_waker_, saved_woken_;
};

struct member_t {
  NET_WAITSET *set;
  NET_CONN *conn;     // one of conn and chan
  NET_CHANNEL *chan;
  void *owner;        // conn->data, as the shared port names the conn
  void *user;
  unsigned long id;   // names it in the timer heap: its place in by_id and timing
  int fd_woke;        // the poller named its own descriptor since its last look
  int fds[MEMBER_FDS];
  int nfds;
  int shared;         // on a listener's shared port
  int pending;        // on the set's pending list (written under the set's
                      // mutex, atomically: a notification reads it without)
  int busy;           // looked at by a wait right now
  int removed;
  unsigned long wanted;  // the net_wait call that last asked for it
  // Its conn is in another set as well (written under the registry's
  // lock, read without it: a stale answer costs one look-up or one look).
  std::atomic<int> elsewhere{0};
};

// A member's timing, kept apart from the member in a place of its own, so
// that sorting the heap's entries out touches these few bytes only.
struct timing_t {
  unsigned long gen;  // the heap entry that counts (unique in its set, so
                      // that a later member in the same place never takes
                      // up an entry of an earlier one); 0: none, or no member
  int has_due;        // that entry is still in the heap
  int wants_due;      // the last look asked to be looked at again, at want_at
  clock_type::time_point due_at, want_at;
};

struct timer_entry {
  clock_type::time_point at;
  unsigned long id, gen;
  bool operator<(const timer_entry &o) const { return at > o.at; }  // soonest on top
};

struct fdrec_t {
  int registered = 0;
  std::unordered_set<member_t *> members;
  member_t *pumper = nullptr;  // a member on a shared port, which takes the port's datagrams in
};

// Members of every set by the conn or channel they hold, and by the data
// record the shared ports announce. Taken before any set's mutex.
std::mutex registry_mutex;
std::unordered_multimap<void *, member_t *> by_object;
std::unordered_multimap<void *, member_t *> by_owner;
// Entries of by_owner: a program that holds no conn in any set is told
// nothing without taking the registry's lock.
std::atomic<long> owners_held{0};

// The set whose wait pumps a shared port on this thread: what the pump
// tells is gathered here and marked under the set's own lock, without the
// registry's (the conns of one wait are seldom in another set).
thread_local NET_WAITSET *gathering = nullptr;
thread_local std::vector<void *> gathered;

// With the registry's lock held: whether the members of `owner` are in
// more than one set, written to each.
void note_elsewhere(void *owner)
{
  auto range = by_owner.equal_range(owner);
  int n = 0;
  for (auto it = range.first; it != range.second; ++it) n++;
  for (auto it = range.first; it != range.second; ++it) it->second->elsewhere.store(n > 1, std::memory_order_relaxed);
}

// Rounds: numbered across threads, so that one thread's never matches
// another's.
std::atomic<unsigned long> rounds{0};
thread_local unsigned long this_round = 0;
thread_local int waiting = 0;
thread_local int deferring = 0;
thread_local long long round_ends;  // on the library's clock, in ns
const long long round_grace_ns = 1000000;
// Members a pass may look at and still reckon the sleep after it from its
// own time.
const size_t QUICK_PASS = 4;

void new_round()
{
  this_round = ++rounds;
}

// Marks this thread as waiting for the guard's life; the round it leaves
// lasts round_grace_ns more, from the time the wait last reckoned (its
// last pass's looks take microseconds; a round ended early only means a
// read that reads), else from a fresh reading.
struct in_wait {
  long long reckoned = 0;
  in_wait()
  {
    waiting++;
    new_round();
  }
  ~in_wait()
  {
    if (--waiting == 0) round_ends = (reckoned ? reckoned : __netlane_internal__clock()) + round_grace_ns;
  }
};

void erase_from(std::unordered_multimap<void *, member_t *> &map, void *key, member_t *m)
{
  auto range = map.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == m) {
      map.erase(it);
      return;
    }
  }
}

}  // namespace

struct NET_WAITSET {
  std::mutex m;
  std::condition_variable idle;  // a member's busy count fell
  int poller = -1;
  int waker = -1;
  int sleeping = 0;      // a wait sleeps in the poller
  int interrupted = 0;   // a member was closed under a wait
  int parked = 0;        // descriptors of idle conns taken out of the poller
  int closing = 0;       // closes still waiting for a wait to let go of a member
  int watching = 0;      // threads waiting on `idle`: without any, no one is told
  int asked_last = 0;    // the last wait asked the poller (a wait on the set itself)
  unsigned long next_gen = 1;
  std::unordered_map<void *, member_t *> members;  // by conn or channel
  // The members and their timing by id, a place freed by a member that
  // left going to the next one: the timer heap's entries are checked
  // against `timing` without a hash look-up, or a look at the member.
  std::vector<member_t *> by_id;
  std::vector<timing_t> timing;
  std::vector<unsigned long> free_ids;
  std::unordered_map<void *, member_t *> by_owner;  // the conns' data records
  std::unordered_map<int, fdrec_t> fds;
  std::vector<int> port_fds;  // the fds whose record has a pumper
  std::vector<member_t *> pending;
  std::vector<member_t *> polled;  // members with no descriptor: looked at every ms
  std::priority_queue<timer_entry> timers;
};

namespace {

// With the set's mutex held.
void mark_pending(NET_WAITSET *set, member_t *m)
{
  if (m->pending || m->removed) return;
  __atomic_store_n(&m->pending, 1, __ATOMIC_RELAXED);
  set->pending.push_back(m);
  if (set->sleeping) __netlane_internal__waker_signal(set->waker);
}

// With the set's mutex in `hold`: sleeps until `done` holds, woken as busy
// counts and closes fall.
template <typename Done>
void watch_idle(NET_WAITSET *set, std::unique_lock<std::mutex> &hold, Done done)
{
  set->watching++;
  set->idle.wait(hold, done);
  set->watching--;
}

// With the set's mutex held: a busy count or a close fell. Most waits have
// no one watching, and the broadcast is then passed over.
void idle_fell(NET_WAITSET *set)
{
  if (set->watching) set->idle.notify_all();
}

// With the set's mutex held: the member's next look `ms` after `now` (-1
// none). An earlier entry already in the heap stands, so that the heap
// gains nothing per look; settle_timers moves it to `want_at` once it is
// on top, before anyone sleeps or looks for it.
void set_due(NET_WAITSET *set, member_t *m, int ms, clock_type::time_point now)
{
  timing_t &t = set->timing[m->id];
  t.wants_due = ms >= 0;
  if (ms < 0) return;
  auto at = now + std::chrono::milliseconds(ms);
  t.want_at = at;
  if (t.has_due && t.due_at <= at) return;
  t.gen = set->next_gen++;
  t.has_due = 1;
  t.due_at = at;
  set->timers.push(timer_entry{at, m->id, t.gen});
}

// With the set's mutex held: drops stale entries from the heap's top and
// puts off the entry of a member whose last look asked for a later time,
// so that the top is the next look truly due, as far as entries before
// `until` go (later ones matter to no one yet). A wait that slept to an
// entry a later look had put off (an acknowledgement sent after all) would
// wake for nothing, and a short sleep costs the machine more than a long
// one. A member whose last look asked for nothing keeps its entry: one
// early look is harmless.
void settle_timers(NET_WAITSET *set, clock_type::time_point until)
{
  while (!set->timers.empty() && set->timers.top().at < until) {
    timer_entry e = set->timers.top();
    timing_t *t = e.id < set->timing.size() ? &set->timing[e.id] : nullptr;
    if (!t || t->gen != e.gen) {
      set->timers.pop();
      continue;
    }
    if (!t->wants_due || t->want_at <= e.at) return;
    set->timers.pop();
    t->gen = set->next_gen++;
    t->due_at = t->want_at;
    set->timers.push(timer_entry{t->due_at, e.id, t->gen});
  }
}

// With both the registry's and the set's mutex held: the member leaves
// every index; it is freed once no wait looks at it.
void detach(NET_WAITSET *set, member_t *m)
{
  m->removed = 1;
  set->members.erase(m->conn ? (void *)m->conn : (void *)m->chan);
  set->by_id[m->id] = nullptr;
  set->timing[m->id] = timing_t{};
  set->free_ids.push_back(m->id);
  erase_from(by_object, m->conn ? (void *)m->conn : (void *)m->chan, m);
  if (m->owner) {
    erase_from(by_owner, m->owner, m);
    set->by_owner.erase(m->owner);
    owners_held--;
    note_elsewhere(m->owner);
  }
  for (int i = 0; i < m->nfds; i++) {
    auto it = set->fds.find(m->fds[i]);
    if (it == set->fds.end()) continue;
    fdrec_t &rec = it->second;
    rec.members.erase(m);
    if (rec.pumper == m) {
      rec.pumper = nullptr;
      for (member_t *other : rec.members)
        if (other->shared) rec.pumper = other;
      if (!rec.pumper) {
        for (size_t k = 0; k < set->port_fds.size(); k++) {
          if (set->port_fds[k] == m->fds[i]) {
            set->port_fds.erase(set->port_fds.begin() + (long)k);
            break;
          }
        }
      }
    }
    if (rec.members.empty()) {
      if (rec.registered) __netlane_internal__poller_remove(set->poller, m->fds[i]);
      set->fds.erase(it);
    }
  }
  for (size_t i = 0; i < set->polled.size(); i++) {
    if (set->polled[i] == m) {
      set->polled.erase(set->polled.begin() + (long)i);
      break;
    }
  }
  for (size_t i = 0; i < set->pending.size(); i++) {
    if (set->pending[i] == m) {
      set->pending.erase(set->pending.begin() + (long)i);
      break;
    }
  }
}

// With the set's mutex in `hold`: waits until no wait looks at `m`, then frees it.
void release(NET_WAITSET *set, member_t *m, std::unique_lock<std::mutex> &hold)
{
  watch_idle(set, hold, [m] { return m->busy == 0; });
  delete m;
}

int add_member(NET_WAITSET *set, NET_CONN *conn, NET_CHANNEL *chan, void *user)
{
  if (!set || (!conn && !chan)) return -1;
  member_t *m = new (std::nothrow) member_t();
  if (!m) return -1;
  m->set = set;
  m->conn = conn;
  m->chan = chan;
  m->user = user;
  if (conn) {
    int due;
    if (__netlane_internal__wrapper_wait_info(conn, m->fds, MEMBER_FDS, &m->nfds, &due) >= 0) {
      m->owner = conn->data;
      m->shared = __netlane_internal__wrapper_take_in(conn, 0);
    }
  } else {
    m->nfds = __netlane_internal__channel_wait_fds(chan, m->fds, MEMBER_FDS);
  }

  std::lock_guard<std::mutex> registry(registry_mutex);
  std::lock_guard<std::mutex> hold(set->m);
  void *key = conn ? (void *)conn : (void *)chan;
  if (set->members.count(key)) {
    delete m;
    return -1;
  }
  for (int i = 0; i < m->nfds; i++) {
    fdrec_t &rec = set->fds[m->fds[i]];
    if (!rec.registered && rec.members.empty())
      rec.registered = __netlane_internal__poller_add(set->poller, m->fds[i]) == 0;
    rec.members.insert(m);
    if (m->shared && !rec.pumper) {
      rec.pumper = m;
      set->port_fds.push_back(m->fds[i]);
    }
  }
  // Without a descriptor (or a driver's own conns) the member is looked at
  // every millisecond.
  if (m->nfds == 0 || (conn && !m->owner)) set->polled.push_back(m);
  if (set->free_ids.empty()) {
    m->id = set->by_id.size();
    set->by_id.push_back(m);
    set->timing.push_back(timing_t{});
  } else {
    m->id = set->free_ids.back();
    set->free_ids.pop_back();
    set->by_id[m->id] = m;
  }
  set->members[key] = m;
  by_object.emplace(key, m);
  if (m->owner) {
    by_owner.emplace(m->owner, m);
    set->by_owner[m->owner] = m;
    owners_held++;
    note_elsewhere(m->owner);
  }
  __atomic_store_n(&m->pending, 0, __ATOMIC_RELAXED);
  mark_pending(set, m);  // looked at by the next wait
  return 0;
}

int remove_member(NET_WAITSET *set, void *key)
{
  if (!set) return -1;
  std::unique_lock<std::mutex> registry(registry_mutex);
  std::unique_lock<std::mutex> hold(set->m);
  auto it = set->members.find(key);
  if (it == set->members.end()) return -1;
  member_t *m = it->second;
  detach(set, m);
  registry.unlock();
  // A shared port's pumper is kept busy while a wait sleeps.
  if (m->busy && set->sleeping) __netlane_internal__waker_signal(set->waker);
  release(set, m, hold);
  return 0;
}

void forget(void *key)
{
  std::vector<member_t *> gone;
  {
    std::lock_guard<std::mutex> registry(registry_mutex);
    auto range = by_object.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) gone.push_back(it->second);
    for (member_t *m : gone) {
      std::lock_guard<std::mutex> hold(m->set->m);
      detach(m->set, m);
      m->set->interrupted = 1;
      m->set->closing++;  // the set outlives this close
      __netlane_internal__waker_signal(m->set->waker);
    }
  }
  for (member_t *m : gone) {
    NET_WAITSET *set = m->set;
    std::unique_lock<std::mutex> hold(set->m);
    release(set, m, hold);
    set->closing--;
    idle_fell(set);
  }
}

// Steps a member and tells whether it is ready, and in `*due` when it must
// be looked at again (-1: only when a datagram comes).
int look(member_t *m, int *due)
{
  *due = -1;
  if (m->chan) return net_query(m->chan) > 0;
  NET_CONN *conn = m->conn;
  int fds[MEMBER_FDS], nfds = 0;
  int size = __netlane_internal__wrapper_look(conn, fds, MEMBER_FDS, &nfds, due,
                                              !m->elsewhere.load(std::memory_order_relaxed));
  if (size >= 0) return size > 0;
  int ready = 0;
  switch (conn->status) {
    case NET_CONN_CONNECTED:
      ready = net_query_rdm(conn) > 0;
      break;
    case NET_CONN_CONNECTING:
      ready = net_poll_connect(conn) != 0;
      break;
    default:
      break;
  }
  int listening = __netlane_internal__wrapper_wait_info(conn, fds, MEMBER_FDS, &nfds, due);
  if (conn->status == NET_CONN_LISTENING) ready = listening > 0;
  return ready;
}

}  // namespace

namespace {

long long clock_of(clock_type::time_point t)
{
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// With the set's mutex in `hold`: marks this set's members of what a pump
// gathered, and tells the other sets holding them through the registry
// (its lock comes before the set's, so `hold` is let go of meanwhile).
void tell_gathered(NET_WAITSET *set, std::unique_lock<std::mutex> &hold)
{
  static thread_local std::vector<void *> elsewhere;
  elsewhere.clear();
  for (void *owner : gathered) {
    auto it = set->by_owner.find(owner);
    if (it != set->by_owner.end()) mark_pending(set, it->second);
    if (it == set->by_owner.end() || it->second->elsewhere.load(std::memory_order_relaxed)) elsewhere.push_back(owner);
  }
  gathered.clear();
  if (elsewhere.empty()) return;
  hold.unlock();
  __netlane_internal__waitset_notify_many(elsewhere.data(), (int)elsewhere.size());
  hold.lock();
}

// With the set's mutex in `hold`, let go of while it sleeps in the poller
// for at most `sleep_ms` and while a shared port's datagrams are filed:
// marks pending what the readable descriptors are for. Answers the time
// the poller answered, which the port's pump reckons as well.
clock_type::time_point take_events(NET_WAITSET *set, int sleep_ms, std::unique_lock<std::mutex> &hold)
{
  // A member marked since the sleep was reckoned ends it at once.
  if (!set->pending.empty()) sleep_ms = 0;
  set->sleeping = sleep_ms != 0;
  // The shared ports' pumpers, kept busy over the sleep: a port the poller
  // names is pumped before the set's mutex is taken again, so that a wake
  // takes it once (a removal meanwhile wakes the sleep to let go of them).
  struct port_pump {
    int fd;
    member_t *pumper;
  };
  static thread_local std::vector<port_pump> ports;
  ports.clear();
  for (int fd : set->port_fds) {
    auto it = set->fds.find(fd);
    if (it == set->fds.end() || !it->second.registered || !it->second.pumper) continue;
    it->second.pumper->busy++;
    ports.push_back(port_pump{fd, it->second.pumper});
  }
  hold.unlock();
  int fds[EVENTS];
  int got = __netlane_internal__poller_wait(set->poller, fds, EVENTS, sleep_ms);
  auto woke = clock_type::now();
  // What the poller said is news: reads may find datagrams again.
  new_round();
  // A shared port the poller did not name holds nothing now: the looks
  // of this round need not read it to find that out (one empty read per
  // wake and port). A full list of events may have left some out. The
  // port tells which conns it filed datagrams for: this set's are marked
  // below, and those in other sets as well are told through the registry.
  gathered.clear();
  gathering = set;
  __netlane_internal__time_hold_at(clock_of(woke));
  for (const port_pump &p : ports) {
    bool named = false;
    for (int i = 0; i < got && !named; i++) named = fds[i] == p.fd;
    if (named) __netlane_internal__wrapper_take_in(p.pumper->conn, 1);
    else if (got >= 0 && got < EVENTS) __netlane_internal__wrapper_port_quiet(p.pumper->conn);
  }
  __netlane_internal__time_release();
  gathering = nullptr;
  hold.lock();
  set->sleeping = 0;
  for (const port_pump &p : ports) p.pumper->busy--;
  if (!ports.empty()) idle_fell(set);
  for (int i = 0; i < got; i++) {
    if (fds[i] == set->waker) {
      __netlane_internal__waker_clear(set->waker);
      continue;
    }
    auto it = set->fds.find(fds[i]);
    if (it == set->fds.end()) continue;
    fdrec_t &rec = it->second;
    if (rec.pumper) continue;
    bool any_live = false;
    for (member_t *m : rec.members) {
      mark_pending(set, m);
      m->fd_woke = 1;
      if (m->chan || m->conn->status != NET_CONN_IDLE) any_live = true;
    }
    // Nothing takes in what reaches an idle conn's channel: sleeping on
    // it would wake at once for ever.
    if (!any_live && rec.registered) {
      __netlane_internal__poller_remove(set->poller, fds[i]);
      rec.registered = 0;
      set->parked++;
    }
  }
  if (!gathered.empty()) tell_gathered(set, hold);
  return woke;
}

}  // namespace

void __netlane_internal__waitset_notify(void *owner)
{
  __netlane_internal__waitset_notify_many(&owner, 1);
}

void __netlane_internal__waitset_notify_many(void *const *owners, int n)
{
  if (n <= 0 || owners_held.load(std::memory_order_relaxed) == 0) return;
  if (gathering) {
    gathered.insert(gathered.end(), owners, owners + n);
    return;
  }
  std::lock_guard<std::mutex> registry(registry_mutex);
  // One set's lock is kept while its members follow one another, as a
  // pump's usually all do.
  NET_WAITSET *locked = nullptr;
  for (int i = 0; i < n; i++) {
    auto range = by_owner.equal_range(owners[i]);
    for (auto it = range.first; it != range.second; ++it) {
      member_t *m = it->second;
      // Already to be looked at: its look sees what this one announces.
      if (__atomic_load_n(&m->pending, __ATOMIC_RELAXED)) continue;
      if (m->set != locked) {
        if (locked) locked->m.unlock();
        locked = m->set;
        locked->m.lock();
      }
      mark_pending(m->set, m);
    }
  }
  if (locked) locked->m.unlock();
}

int __netlane_internal__reads_deferred(void)
{
  return deferring;
}

int __netlane_internal__wait_looking(void)
{
  return gathering != nullptr;
}

unsigned long __netlane_internal__wait_round(void)
{
  if (this_round == 0 || waiting) return this_round;
  if (__netlane_internal__clock() > round_ends) this_round = 0;
  return this_round;
}

// A close ends this thread's round as well: what a wait found empty says
// nothing of the conns and channels opened after it.
void __netlane_internal__waitset_forget_conn(NET_CONN *conn)
{
  this_round = 0;
  forget(conn);
}

void __netlane_internal__waitset_forget_channel(NET_CHANNEL *chan)
{
  this_round = 0;
  forget(chan);
}

NET_WAITSET *net_waitset_create(void)
{
  NET_WAITSET *set = new (std::nothrow) NET_WAITSET();
  if (!set) return NULL;
  set->poller = __netlane_internal__poller_open();
  set->waker = __netlane_internal__waker_open();
  if (set->poller < 0 || set->waker < 0 || __netlane_internal__poller_add(set->poller, set->waker) != 0) {
    __netlane_internal__poller_close(set->poller);
    __netlane_internal__waker_close(set->waker);
    delete set;
    return NULL;
  }
  return set;
}

int net_waitset_add_conn(NET_WAITSET *set, NET_CONN *conn, void *user)
{
  return conn ? add_member(set, conn, NULL, user) : -1;
}

int net_waitset_add_channel(NET_WAITSET *set, NET_CHANNEL *chan, void *user)
{
  return chan ? add_member(set, NULL, chan, user) : -1;
}

int net_waitset_remove_conn(NET_WAITSET *set, NET_CONN *conn)
{
  return conn ? remove_member(set, conn) : -1;
}

int net_waitset_remove_channel(NET_WAITSET *set, NET_CHANNEL *chan)
{
  return chan ? remove_member(set, chan) : -1;
}

void net_waitset_destroy(NET_WAITSET *set)
{
  if (!set) return;
  std::vector<void *> keys;
  {
    std::lock_guard<std::mutex> hold(set->m);
    for (auto &entry : set->members) keys.push_back(entry.first);
  }
  for (void *key : keys) remove_member(set, key);
  {
    std::unique_lock<std::mutex> hold(set->m);
    watch_idle(set, hold, [set] { return set->closing == 0; });
  }
  __netlane_internal__poller_close(set->poller);
  {
    std::lock_guard<std::mutex> hold(waiters_mutex);
    __netlane_internal__waker_close(set->waker);
  }
  delete set;
}

namespace {

// `all_pending`: every member has been marked pending (net_wait), so the
// first pass's looks read every socket and the poller is asked only when
// they find nothing. A set waited on directly asks it at once, so that a
// member that stays ready cannot keep others' datagrams from being seen;
// but when the last wait asked it, the members pending (those it answered)
// are looked at first: a program that read them dry then sleeps on one
// call to the poller instead of two, and one that did not is answered
// without the poller at most once in a row.
// `held`: the set's mutex, when the caller holds it already.
int wait_set(NET_WAITSET *set, void **ready, int max, int timeout_ms, bool all_pending,
             std::unique_lock<std::mutex> *held = nullptr)
{
  if (!set || !ready || max <= 0 || !__netlane_timer_func) return -1;
  registration registered(set->waker);
  in_wait round;
  // The caller's time-out runs on the real clock: the library's timer hook
  // may be a program's own clock that stands still.
  auto start = clock_type::now();
  // The set's mutex is held but for the sleep and the looks: taken once
  // per pass and once more to sleep, not once per piece of bookkeeping.
  std::unique_lock<std::mutex> own;
  if (!held) own = std::unique_lock<std::mutex>(set->m);
  std::unique_lock<std::mutex> &hold = held ? *held : own;
  set->interrupted = 0;
  // An idle conn may have been set connecting or listening since.
  if (set->parked) {
    for (auto &entry : set->fds) {
      if (entry.second.registered) continue;
      entry.second.registered = __netlane_internal__poller_add(set->poller, entry.first) == 0;
      for (member_t *m : entry.second.members) mark_pending(set, m);
    }
    set->parked = 0;
  }
  // The first pass looks without asking the poller.
  bool look_first = (!set->pending.empty() || !set->polled.empty()) && (all_pending || set->asked_last);
  // Every member marked (net_wait) is looked at for what the program did
  // since: that look need not read a socket the poller watches, which
  // would mostly find it empty before the sleep. Only when every
  // member's descriptors are in the poller: others would go unread.
  bool defer_first = all_pending && look_first && set->polled.empty();
  if (defer_first) {
    for (auto &entry : set->fds)
      if (!entry.second.registered) defer_first = false;
  }
  // Kept between calls: a wait allocates nothing once warm.
  static thread_local std::vector<member_t *> look_at, answered;
  static thread_local std::vector<int> dues;
  static thread_local std::vector<char> is_ready;
  // The first pass looks at the members already pending without asking
  // the poller: their looks read what has come. Only when none is
  // pending, or nothing was found, does the poller tell what is readable.
  bool asked_poller = false;
  int sleep_ms = 0;
  for (int pass = 0;; pass++) {
    // A pass reckons the time the wait began or the poller answered.
    auto now = start;
    if (pass > 0 || !look_first) {
      now = take_events(set, sleep_ms, hold);
      asked_poller = true;
    }
    // The members that got datagrams, whose time came, or that have no
    // descriptor to sleep on.
    look_at.clear();
    auto due_by = now + std::chrono::nanoseconds(1);
    for (settle_timers(set, due_by); !set->timers.empty() && set->timers.top().at < due_by; settle_timers(set, due_by)) {
      unsigned long id = set->timers.top().id;
      member_t *m = set->by_id[id];
      set->timing[id].has_due = 0;
      set->timers.pop();
      mark_pending(set, m);
    }
    for (member_t *m : set->polled) mark_pending(set, m);
    look_at.swap(set->pending);
    // A member the program has read dry since its last step (one the last
    // wait answered, or any net_wait is given) is not looked at: the look
    // would find nothing, and it keeps the due its read reckoned. What
    // comes for it (filed by its port, or in its own socket, which the
    // poller names), or a send, or that due, brings it to a look. Its
    // flag's clearing is seen before what is read after it, as a filing or
    // a send is seen before it reads the flag (it takes the registry's
    // lock first): one of the two sides always sees the other.
    size_t kept = 0;
    for (member_t *m : look_at) {
      __atomic_store_n(&m->pending, 0, __ATOMIC_SEQ_CST);
      int due;
      bool woke = m->fd_woke;
      m->fd_woke = 0;
      if (!woke && m->conn && m->nfds > 0 && __netlane_internal__wrapper_dry(m->conn, clock_of(now), &due)) {
        set_due(set, m, due, now);
        continue;
      }
      m->busy++;
      look_at[kept++] = m;
    }
    look_at.resize(kept);
    round.reckoned = clock_of(now);
    if (!look_at.empty()) {
      hold.unlock();
      dues.resize(look_at.size());
      is_ready.assign(look_at.size(), 0);
      // What the looks send goes out together at the end of the pass: the
      // acknowledgements and answers of one wake, or a host's beats that
      // fell due on one tick, in a few system calls rather than one each;
      // and they reckon one time.
      __netlane_internal__time_hold_at(round.reckoned);
      __netlane_internal__io_hold();
      deferring = defer_first && !asked_poller;
      // A look's step may pump its shared port, which files for other
      // conns too (the answers to beats sent a moment before): those are
      // marked once the looks are done, as the wake's pump's are.
      gathered.clear();
      gathering = set;
      for (size_t i = 0; i < look_at.size(); i++) is_ready[i] = (char)look(look_at[i], &dues[i]);
      gathering = nullptr;
      deferring = 0;
      __netlane_internal__io_flush();
      __netlane_internal__time_release();
      hold.lock();
      if (!gathered.empty()) tell_gathered(set, hold);
    }
    int found = 0;
    answered.clear();
    // Dues are reckoned from the pass's start: a look a little early is
    // harmless.
    for (size_t i = 0; i < look_at.size(); i++) {
      member_t *m = look_at[i];
      m->busy--;
      if (m->removed) continue;
      // A ready member stays pending, so it is looked at again before any
      // sleep: its due time need not enter the heap (and what an earlier
      // look asked for no longer counts).
      if (!is_ready[i]) {
        set_due(set, m, dues[i], now);
        continue;
      }
      set->timing[m->id].wants_due = 0;
      // Ready stays ready until a look finds otherwise; those beyond
      // `max` are looked at first at the next call.
      if (found < max) {
        ready[found++] = m->user;
        answered.push_back(m);
      } else {
        mark_pending(set, m);
      }
    }
    for (member_t *m : answered) mark_pending(set, m);
    idle_fell(set);
    if (found > 0 || set->interrupted || registered.woken()) {
      if (!all_pending) set->asked_last = asked_poller;
      return found;
    }
    if (timeout_ms == 0) {
      if (asked_poller) return 0;
      sleep_ms = 0;  // one more pass, with what the poller has
      continue;
    }

    // The sleep: a member marked meanwhile ends it at once in take_events.
    // It is reckoned from the pass's time when the pass looked at only a
    // few members, which takes microseconds: the sleep's ms do not move.
    sleep_ms = -1;
    if (look_at.size() > QUICK_PASS) now = clock_type::now();
    if (timeout_ms > 0) {
      long long left = timeout_ms - std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count();
      if (left <= 0) return 0;
      sleep_ms = (int)left;
    }
    settle_timers(set, sleep_ms < 0 ? clock_type::time_point::max() : now + std::chrono::milliseconds(sleep_ms));
    if (!set->timers.empty()) {
      auto until = std::chrono::duration_cast<std::chrono::milliseconds>(set->timers.top().at - now).count() + 1;
      if (until < 0) until = 0;
      if (sleep_ms < 0 || until < sleep_ms) sleep_ms = (int)until;
    }
    if (!set->polled.empty() && (sleep_ms < 0 || sleep_ms > 1)) sleep_ms = 1;
  }
}

}  // namespace

int net_waitset_wait(NET_WAITSET *set, void **ready, int max, int timeout_ms)
{
  return wait_set(set, ready, max, timeout_ms, false);
}

int net_wait(NET_CONN **conns, int nconns, NET_CHANNEL **channels, int nchannels, int timeout_ms)
{
  if (nconns < 0 || nchannels < 0 || (nconns > 0 && !conns) || (nchannels > 0 && !channels)) return -1;
  for (int i = 0; i < nconns; i++)
    if (!conns[i]) return -1;
  for (int i = 0; i < nchannels; i++)
    if (!channels[i]) return -1;
  if (!__netlane_timer_func) return -1;

  // One set per thread, kept between calls so that a program waiting on
  // the same conns again and again registers nothing anew.
  struct cached_set {
    NET_WAITSET *set = nullptr;
    ~cached_set() { net_waitset_destroy(set); }
  };
  static thread_local cached_set cache;
  if (!cache.set) cache.set = net_waitset_create();
  NET_WAITSET *set = cache.set;
  if (!set) return -1;
  // A conn already in the set is asked nothing: only new ones are added,
  // and those not asked for this time leave.
  static thread_local unsigned long call = 0;
  static thread_local std::vector<void *> stale;
  static thread_local std::vector<int> fresh_conns, fresh_channels;
  static thread_local std::vector<void *> ready;
  call++;
  stale.clear();
  fresh_conns.clear();
  fresh_channels.clear();
  // The lock that finds the members goes on into the wait, unless some
  // come or go.
  std::unique_lock<std::mutex> hold(set->m);
  for (int i = 0; i < nconns + nchannels; i++) {
    void *key = i < nconns ? (void *)conns[i] : (void *)channels[i - nconns];
    auto it = set->members.find(key);
    if (it != set->members.end()) it->second->wanted = call;
    else if (i < nconns) fresh_conns.push_back(i);
    else fresh_channels.push_back(i - nconns);
  }
  for (auto &entry : set->members) {
    member_t *m = entry.second;
    if (m->wanted != call) stale.push_back(entry.first);
    // The program may have used them since the last call: each is
    // looked at once, as a wait on a list always has (new ones are
    // marked as they are added). Not a listener whose port the poller
    // watches: a request tells its sets as the port files it, and one it
    // was ready with last time is looked at again anyway.
    else if (!(m->shared && m->nfds > 0 && m->conn->status == NET_CONN_LISTENING)) mark_pending(set, m);
  }
  if (!stale.empty() || !fresh_conns.empty() || !fresh_channels.empty()) {
    hold.unlock();
    for (void *key : stale) remove_member(set, key);
    for (int i : fresh_conns) net_waitset_add_conn(set, conns[i], conns[i]);
    for (int i : fresh_channels) net_waitset_add_channel(set, channels[i], channels[i]);
    hold.lock();
  }
  ready.resize((size_t)(nconns + nchannels) + 1);
  return wait_set(set, ready.data(), (int)ready.size(), timeout_ms, true, &hold);
}

void net_wake(void)
{
  // Held while signalling: a set's waker is closed under the same lock, so
  // a descriptor number read here is still the set's.
  std::lock_guard<std::mutex> hold(waiters_mutex);
  for (waiter_t *w = waiters; w; w = w->next) {
    int waker = w->waker.load();
    if (waker < 0) continue;
    w->woken = 1;
    __netlane_internal__waker_signal(waker);
  }
}
