// Test doubles for the network library core: a driver record that logs every
// slot call and answers as the test sets, a stepping timer, mutex hooks that
// report whether a list is locked, and a scratch directory.
#ifndef NET_CORE_RECORDER_H
#define NET_CORE_RECORDER_H

#include <string>
#include <vector>

#include "netlane.h"

// What the recording driver answers, and what it saw.
struct Recorder {
  std::vector<std::string> log;  // one line per slot call: "slot arguments"
  int next_id = 1;               // ids given to channels and conns through `data`

  int detect_answer = 2;
  std::vector<int> init_answers;  // consumed one per init call; 0 once empty
  int init_channel_answer = 0;
  int update_target_answer = 0;
  int send_answer = 0;
  int recv_answer = 0;
  int query_answer = 0;
  int init_conn_answer = 0;
  int listen_answer = 0;
  int accept_count = 0;          // poll_listen accepts this many peers, one per call
  int connect_answer = 0;
  std::vector<int> poll_connect_answers;  // consumed one per call; the last repeats
  int rdm_answer = 7;
};

extern Recorder rec;

// A fresh record with every slot filled by a recording routine. `with_conns`
// false leaves the conn slots empty, as the channel-only drivers have them.
NET_DRIVER recording_driver(bool with_conns = true);

// The id the recorder stored in a channel's or conn's `data`.
int id_of(const void *data);

// A timer that advances by `step` milliseconds on every read.
unsigned int stepping_timer(void);
extern unsigned int timer_now;
extern unsigned int timer_step;
extern int timer_reads;

// Mutex hooks whose handles say whether they are held; installed before
// net_init, they make the core's two list mutexes observable.
void install_test_mutexes(void);
bool conns_locked(void);
bool channels_locked(void);
extern int test_mutexes_made;

// A new empty directory under /tmp, removed with its files by the destructor.
struct ScratchDir {
  std::string path;
  ScratchDir();
  ~ScratchDir();
  std::string write(const std::string &name, const std::string &text) const;
};

#endif
