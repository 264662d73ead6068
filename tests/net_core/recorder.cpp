// Test doubles shared by the core tests; see recorder.h.
#include "recorder.h"

#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "channels.h"
#include "conns.h"
#include "internal.h"

Recorder rec;
unsigned int timer_now = 0;
unsigned int timer_step = 100;
int timer_reads = 0;
int test_mutexes_made = 0;

static void note(const std::string &line) { rec.log.push_back(line); }
static std::string text(const char *s) { return s ? s : "(null)"; }
static void *new_id() { return reinterpret_cast<void *>(static_cast<intptr_t>(rec.next_id++)); }
int id_of(const void *data) { return static_cast<int>(reinterpret_cast<intptr_t>(data)); }
static std::string id(const void *data) { return "#" + std::to_string(id_of(data)); }
static std::string lock_note(bool held) { return held ? " locked" : " unlocked"; }

static int r_detect(void) { note("detect"); return rec.detect_answer; }
static int r_init(void)
{
  note("init");
  if (rec.init_answers.empty()) return 0;
  int answer = rec.init_answers.front();
  rec.init_answers.erase(rec.init_answers.begin());
  return answer;
}
static int r_exit(void) { note("exit"); return 0; }

static int r_init_channel(NET_CHANNEL *chan, const char *addr)
{
  note("init_channel " + text(addr) + lock_note(channels_locked()));
  if (rec.init_channel_answer != 0) return rec.init_channel_answer;
  chan->data = new_id();
  snprintf(chan->local_addr, sizeof chan->local_addr, "local%d", id_of(chan->data));
  return 0;
}
static int r_destroy_channel(NET_CHANNEL *chan)
{
  note("destroy_channel " + id(chan->data) + lock_note(channels_locked()));
  return 0;
}
static int r_update_target(NET_CHANNEL *chan)
{
  note("update_target " + id(chan->data) + " " + chan->target_addr);
  return rec.update_target_answer;
}
static int r_send(NET_CHANNEL *chan, const void *, int size)
{
  note("send " + id(chan->data) + " " + std::to_string(size));
  return rec.send_answer;
}
static int r_recv(NET_CHANNEL *chan, void *, int size, char *from)
{
  note("recv " + id(chan->data) + " " + std::to_string(size) + (from ? " from" : " nofrom"));
  return rec.recv_answer;
}
static int r_query(NET_CHANNEL *chan) { note("query " + id(chan->data)); return rec.query_answer; }

static int r_init_conn(NET_CONN *conn, const char *addr)
{
  note("init_conn " + text(addr) + lock_note(conns_locked()));
  if (rec.init_conn_answer != 0) return rec.init_conn_answer;
  conn->data = new_id();
  return 0;
}
static int r_destroy_conn(NET_CONN *conn)
{
  note("destroy_conn " + id(conn->data) + lock_note(conns_locked()));
  return 0;
}
static int r_listen(NET_CONN *conn) { note("listen " + id(conn->data)); return rec.listen_answer; }
static int r_poll_listen(NET_CONN *conn, NET_CONN *newconn)
{
  note("poll_listen " + id(conn->data) + lock_note(conns_locked()));
  if (rec.accept_count <= 0) return 0;
  rec.accept_count--;
  newconn->data = new_id();
  snprintf(newconn->peer_addr, sizeof newconn->peer_addr, "peer%d", id_of(newconn->data));
  return 1;
}
static int r_connect(NET_CONN *conn, const char *addr)
{
  note("connect " + id(conn->data) + " " + text(addr));
  return rec.connect_answer;
}
static int r_poll_connect(NET_CONN *conn)
{
  note("poll_connect " + id(conn->data));
  if (rec.poll_connect_answers.empty()) return 0;
  int answer = rec.poll_connect_answers.front();
  if (rec.poll_connect_answers.size() > 1) rec.poll_connect_answers.erase(rec.poll_connect_answers.begin());
  return answer;
}
static int r_send_rdm(NET_CONN *conn, const void *, int size)
{
  note("send_rdm " + id(conn->data) + " " + std::to_string(size));
  return rec.rdm_answer;
}
static int r_recv_rdm(NET_CONN *conn, void *, int max)
{
  note("recv_rdm " + id(conn->data) + " " + std::to_string(max));
  return rec.rdm_answer;
}
static int r_query_rdm(NET_CONN *conn) { note("query_rdm " + id(conn->data)); return rec.rdm_answer; }
static int r_ignore_rdm(NET_CONN *conn) { note("ignore_rdm " + id(conn->data)); return rec.rdm_answer; }
static int r_conn_stats(NET_CONN *conn, int *in_q, int *out_q)
{
  note("conn_stats " + id(conn->data));
  *in_q = 3;
  *out_q = 4;
  return rec.rdm_answer;
}
static void r_load_config(NET_DRIVER *, FILE *) { note("load_config"); }
static void r_load_conn_config(NET_DRIVER *, FILE *, const char *section)
{
  note("load_conn_config " + text(section));
}

NET_DRIVER recording_driver(bool with_conns)
{
  NET_DRIVER d = {};
  d.name = "Recorder";
  d.desc = "Recording test driver";
  NET_DRIVER_CLASS(&d) = NET_CLASS_LOCAL;
  d.detect = r_detect;
  d.init = r_init;
  d.exit = r_exit;
  d.init_channel = r_init_channel;
  d.destroy_channel = r_destroy_channel;
  d.update_target = r_update_target;
  d.send = r_send;
  d.recv = r_recv;
  d.query = r_query;
  if (with_conns) {
    d.init_conn = r_init_conn;
    d.destroy_conn = r_destroy_conn;
    d.listen = r_listen;
    d.poll_listen = r_poll_listen;
    d.connect = r_connect;
    d.poll_connect = r_poll_connect;
    d.send_rdm = r_send_rdm;
    d.recv_rdm = r_recv_rdm;
    d.query_rdm = r_query_rdm;
    d.ignore_rdm = r_ignore_rdm;
    d.conn_stats = r_conn_stats;
    d.load_conn_config = r_load_conn_config;
  }
  d.load_config = r_load_config;
  return d;
}

unsigned int stepping_timer(void)
{
  timer_reads++;
  timer_now += timer_step;
  return timer_now;
}

// A test mutex is an int: the number of holders.
static void t_create(void **mutex) { *mutex = new int(0); test_mutexes_made++; }
static void t_destroy(void *mutex) { delete static_cast<int *>(mutex); }
static void t_lock(void *mutex) { ++*static_cast<int *>(mutex); }
static void t_unlock(void *mutex) { --*static_cast<int *>(mutex); }

void install_test_mutexes(void) { net_set_mutex_funcs(t_create, t_destroy, t_lock, t_unlock); }

static bool held(void *mutex)
{
  if (__netlane_internal__mutex_lock != t_lock) return false;  // not our handles
  return mutex && *static_cast<int *>(mutex) > 0;
}
bool conns_locked(void) { return held(__netlane_internal__openconns_mutex); }
bool channels_locked(void) { return held(__netlane_internal__openchannels_mutex); }

ScratchDir::ScratchDir()
{
  char tmpl[] = "/tmp/netcore.XXXXXX";
  path = mkdtemp(tmpl) ? tmpl : "";
}

ScratchDir::~ScratchDir()
{
  std::error_code ignored;
  if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

std::string ScratchDir::write(const std::string &name, const std::string &text) const
{
  std::string file = path + "/" + name;
  std::ofstream out(file, std::ios::binary);
  out << text;
  return file;
}
