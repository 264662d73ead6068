// Files sent to the chat (see files.h): offers, takes, parts and their
// routing at the host, saving with the name and hash checks.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <sodium.h>
#include "config.h"
#include "decimal.h"
#include "events.h"
#include "files.h"
#include "network.h"
#include "packet.h"
#include "session.h"
#include "timers.h"

int max_file_mb = 256;

void files_load_config(const char *path)
{
  max_file_mb = 256;
  FILE *fp = fopen(path, "r");
  if (!fp)
    return;
  char *option, *value;
  if (__netlane_internal__seek_section(fp, "chat") == 0)
    while (__netlane_internal__get_setting(fp, &option, &value) == 0)
      if (strcmp(option, "max_file_mb") == 0 && __netlane_internal__read_decimal(value) >= 1)
        max_file_mb = __netlane_internal__read_decimal(value);
  fclose(fp);
}

typedef struct offer_t {     // an offer seen from another user
  bool used, taken;
  int from, number;
  uint64_t size;
  unsigned char hash[FILE_HASH];
  char name[FILE_OFFER_NAME];
  long seen;                 // order of arrival: the newest is the highest
} offer_t;
typedef struct own_t {       // an offer of the local user
  bool used;
  char path[FILE_PATH_SIZE];
  uint64_t size;
  char name[FILE_OFFER_NAME];
  long made;                 // when it was offered: F8 stops the newest
} own_t;
typedef struct copy_t {      // one taker's copy of an own offer
  bool used;
  int number, taker;
  FILE *file;
  uint64_t sent;
} copy_t;
typedef struct take_t {      // a file being received
  bool used;
  int from, number;
  uint64_t size, got;
  unsigned char hash[FILE_HASH];
  crypto_generichash_state state;
  FILE *file;
  char part[FILE_PATH_SIZE + 8], path[FILE_PATH_SIZE];
  char name[FILE_OFFER_NAME];
  long started, heard;       // when it was taken, when a part last came
} take_t;
typedef struct route_t {     // host: a take it has seen, so parts may pass
  bool used;
  int from, number, taker;
  uint64_t size;             // the route ends with the part that reaches it
} route_t;
typedef struct held_t {      // host: a part waiting for a taker's window
  bool used;
  int taker;
  char packet[PACKET_SIZE];
} held_t;

#define OWN_OFFERS 128       // numbers 0-127 of the local user's offers
#define ROUTES (FILE_TAKES * MAX_USERS)
static offer_t offers[FILE_OFFERS];
static own_t own[OWN_OFFERS];
static int own_next = 0;
static copy_t copies[FILE_SENDS];
static take_t takes[FILE_TAKES];
static route_t routes[ROUTES];
static held_t held[MAX_CLIENTS];    // by the conn the part came from
static long offers_seen = 0;
static char kept[PACKET_SIZE];      // the last message received, whole
static bool host_side = false;
static long part_moved_ms = 0;      // when a part last came in or went on
static const int *client_user = NULL;  // host: the user number of each client conn

void files_host_users(const int *users)
{
  client_user = users;
}

/* ---- Names and folders ---- */

void safe_file_name(const char *offered, char out[FILE_NAME_MAX + 1])
{
  size_t n = 0;
  for (const char *c = offered; *c && n < FILE_NAME_MAX; c++) {
    unsigned char ch = (unsigned char)*c;
    bool bad = ch < 0x20 || ch == 0x7f || ch == '/' || ch == '\\';
    // A dot may not lead, nor follow a dot: no hidden file, no "..".
    if (ch == '.' && (n == 0 || out[n - 1] == '.'))
      bad = true;
    out[n++] = bad ? '_' : (char)ch;
  }
  // A cut through a character of several bytes leaves none of it.
  if (offered[0] && strlen(offered) > FILE_NAME_MAX)
    while (n > 0 && ((unsigned char)out[n - 1] & 0xc0) == 0x80)
      n--;
  if (n > 0 && ((unsigned char)out[n - 1] & 0xc0) == 0xc0)
    n--;
  out[n] = 0;
  if (n == 0)
    snprintf(out, FILE_NAME_MAX + 1, "file");
}

static int make_folder(const char *path)
{
  if (mkdir(path, 0700) == 0 || errno == EEXIST)
    return 0;
  return -1;
}

int download_folder(char out[FILE_PATH_SIZE])
{
  const char *xdg = getenv("XDG_DOWNLOAD_DIR");
  const char *home = getenv("HOME");
  if (xdg && xdg[0]) {
    if (make_folder(xdg) != 0)
      return -1;
    snprintf(out, FILE_PATH_SIZE, "%s/Yammerlane", xdg);
  } else if (home && home[0]) {
    snprintf(out, FILE_PATH_SIZE, "%s/Downloads", home);
    if (make_folder(out) != 0)
      return -1;
    snprintf(out, FILE_PATH_SIZE, "%s/Downloads/Yammerlane", home);
  } else {
    return -1;
  }
  struct stat st;
  if (make_folder(out) != 0 || stat(out, &st) != 0 || !S_ISDIR(st.st_mode))
    return -1;
  return 0;
}

static bool taken_path(const char *path)
{
  char part[FILE_PATH_SIZE + 8];
  snprintf(part, sizeof part, "%s.part", path);
  return access(path, F_OK) == 0 || access(part, F_OK) == 0;
}

int free_file_path(const char *folder, const char *name, char out[FILE_PATH_SIZE])
{
  snprintf(out, FILE_PATH_SIZE, "%s/%s", folder, name);
  if (!taken_path(out))
    return 0;
  const char *dot = strrchr(name, '.');
  size_t stem = dot && dot != name ? (size_t)(dot - name) : strlen(name);
  for (int n = 1; n < 1000; n++) {
    char suffix[8];
    int slen = snprintf(suffix, sizeof suffix, " (%d)", n);
    // The whole name stays within FILE_NAME_MAX: the stem gives way.
    size_t ext = strlen(name) - stem;
    size_t keep = stem;
    if (keep + slen + ext > FILE_NAME_MAX)
      keep = FILE_NAME_MAX > slen + ext ? FILE_NAME_MAX - slen - ext : 0;
    while (keep > 0 && ((unsigned char)name[keep] & 0xc0) == 0x80)
      keep--;
    snprintf(out, FILE_PATH_SIZE, "%s/%.*s%s%s", folder, (int)keep, name, suffix, name + stem);
    if (!taken_path(out))
      return 0;
  }
  return -1;
}

/* ---- Packets ---- */

static void put_number(char *at, uint64_t value, int bytes)
{
  for (int i = 0; i < bytes; i++)
    at[i] = (char)(value >> (8 * i));
}

static uint64_t get_number(const char *at, int bytes)
{
  uint64_t value = 0;
  for (int i = 0; i < bytes; i++)
    value |= (uint64_t)(unsigned char)at[i] << (8 * i);
  return value;
}

// A short packet (everything within PACKET_CLEAR) of `id` with its first fields.
static void small_packet(char *p, const char *id, int from, int number, int taker)
{
  memset(p, 0, PACKET_SIZE);
  memcpy(p, id, 4);
  p[4] = (char)from;
  p[5] = (char)number;
  p[6] = (char)taker;
}

static int conn_of_user(int who)
{
  for (int i = 0; client_user && i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i] && client_user[i] == who)
      return i;
  return -1;
}

// Sends a short packet toward user `to`: the host on that user's conn, a
// client to the host.
static void send_toward(const char *p, int to, int origin)
{
  if (!host_side) {
    send_packet(server_conn, p, OWN_ORIGIN);
    return;
  }
  int i = conn_of_user(to);
  if (i >= 0)
    send_packet(client_conn[i], p, origin);
}

static void say(const char *text)
{
  out_line("Server", 0, text);
}

static void size_text(uint64_t size, char *out, size_t room)
{
  if (size < 1024)
    snprintf(out, room, "%llu B", (unsigned long long)size);
  else if (size < 1024 * 1024)
    snprintf(out, room, "%.1f KiB", size / 1024.0);
  else
    snprintf(out, room, "%.1f MiB", size / (1024.0 * 1024.0));
}

/* ---- Offering ---- */

static int hash_file(FILE *f, unsigned char hash[FILE_HASH], uint64_t *size)
{
  crypto_generichash_state st;
  crypto_generichash_init(&st, NULL, 0, FILE_HASH);
  static unsigned char chunk[65536];
  size_t got;
  *size = 0;
  while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
    crypto_generichash_update(&st, chunk, got);
    *size += got;
  }
  crypto_generichash_final(&st, hash, FILE_HASH);
  return ferror(f) ? -1 : 0;
}

int file_offer(const char *path, int chat_type)
{
  host_side = chat_type == 1;
  char line[USER_DATA + 60];
  struct stat st;
  FILE *f = NULL;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || !(f = fopen(path, "rb"))) {
    say("Not offered: not a file that can be read");
    return FILE_NOT_REGULAR;
  }
  if ((uint64_t)st.st_size > (uint64_t)max_file_mb * 1024 * 1024) {
    fclose(f);
    snprintf(line, sizeof line, "Not offered: files above %d MiB are not sent", max_file_mb);
    say(line);
    return FILE_TOO_BIG;
  }
  own_t *o = &own[own_next];
  unsigned char hash[FILE_HASH];
  int read = hash_file(f, hash, &o->size);
  fclose(f);
  if (read != 0) {
    say("Not offered: the file could not be read");
    return FILE_NOT_REGULAR;
  }
  o->used = true;
  o->made = clock_ms();
  snprintf(o->path, sizeof o->path, "%s", path);
  const char *base = strrchr(path, '/');
  snprintf(o->name, sizeof o->name, "%s", base ? base + 1 : path);
  char p[PACKET_SIZE];
  small_packet(p, "Offr", my_number, own_next, 0);
  put_number(p + 6, o->size, 6);
  memcpy(p + 12, hash, FILE_HASH);
  memcpy(p + 44, o->name, strlen(o->name));
  if (host_side) {
    for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
      send_packet(client_conn[i], p, OWN_ORIGIN);
  } else {
    send_packet(server_conn, p, OWN_ORIGIN);
  }
  char size[24];
  size_text(o->size, size, sizeof size);
  snprintf(line, sizeof line, "You offer %s (%s)", o->name, size);
  say(line);
  own_next = (own_next + 1) % OWN_OFFERS;
  return FILE_OK;
}

/* ---- Taking ---- */

static void end_take(take_t *t, const char *why)
{
  if (t->file)
    fclose(t->file);
  t->file = NULL;
  unlink(t->part);
  if (why) {
    char line[USER_DATA + 60];
    snprintf(line, sizeof line, "%s not saved: %s", t->name, why);
    say(line);
  }
  out_file_progress((int)(t - takes), t->name, -1, (long long)t->size, 0);
  t->used = false;
}

// The last part is in (or there was none): saved when it is what was offered.
static void finish_take(take_t *t)
{
  unsigned char hash[FILE_HASH];
  crypto_generichash_final(&t->state, hash, FILE_HASH);
  bool ok = fflush(t->file) == 0 && fsync(fileno(t->file)) == 0;
  fclose(t->file);
  t->file = NULL;
  if (!ok || sodium_memcmp(hash, t->hash, FILE_HASH) != 0) {
    end_take(t, ok ? "its contents do not match the offer" : "writing it failed");
    return;
  }
  if (rename(t->part, t->path) != 0) {
    end_take(t, "it could not be renamed");
    return;
  }
  char line[FILE_PATH_SIZE + 16];
  snprintf(line, sizeof line, "saved to %s", t->path);
  say(line);
  out_file_saved(t->path);
  out_file_progress((int)(t - takes), t->name, -1, (long long)t->size, 0);
  t->used = false;
}

static take_t *take_of(int from, int number)
{
  for (take_t &t : takes)
    if (t.used && t.from == from && t.number == number)
      return &t;
  return NULL;
}

static take_t *free_take()
{
  for (take_t &t : takes)
    if (!t.used)
      return &t;
  return NULL;
}

static int refuse_take(offer_t *o, int code, const char *why)
{
  char line[USER_DATA + 60];
  snprintf(line, sizeof line, "Not taken: %s %s", o->name, why);
  say(line);
  o->taken = true;  // the next F7 goes to the offer before it
  return code;
}

int file_take_newest(int chat_type)
{
  host_side = chat_type == 1;
  offer_t *o = NULL;
  for (offer_t &c : offers)
    if (c.used && !c.taken && (!o || c.seen > o->seen))
      o = &c;
  if (!o) {
    say("No file is offered that is not taken");
    return FILE_NO_OFFER;
  }
  char folder[FILE_PATH_SIZE];
  struct statvfs fs;
  take_t *t = free_take();
  if (!t)
    return refuse_take(o, FILE_BUSY, "waits: too many files are coming in");
  if (o->size > (uint64_t)max_file_mb * 1024 * 1024)
    return refuse_take(o, FILE_TOO_BIG, "is larger than max_file_mb");
  if (download_folder(folder) != 0)
    return refuse_take(o, FILE_NO_FOLDER, "has no folder to go to");
  if (statvfs(folder, &fs) != 0 || (uint64_t)fs.f_bavail * fs.f_frsize < o->size)
    return refuse_take(o, FILE_NO_ROOM, "needs more free space than the disk has");
  char name[FILE_NAME_MAX + 1];
  safe_file_name(o->name, name);
  int fd = -1;
  if (free_file_path(folder, name, t->path) == 0) {
    snprintf(t->part, sizeof t->part, "%s.part", t->path);
    fd = open(t->part, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  }
  if (fd < 0 || !(t->file = fdopen(fd, "wb"))) {
    if (fd >= 0)
      close(fd);
    return refuse_take(o, FILE_NO_FOLDER, "cannot be written in the folder");
  }
  o->taken = true;
  t->used = true;
  t->from = o->from;
  t->number = o->number;
  t->size = o->size;
  t->got = 0;
  memcpy(t->hash, o->hash, FILE_HASH);
  snprintf(t->name, sizeof t->name, "%s", o->name);
  crypto_generichash_init(&t->state, NULL, 0, FILE_HASH);
  t->started = t->heard = clock_ms();
  char line[USER_DATA + 60];
  snprintf(line, sizeof line, "Taking %s from %s", o->name, user[o->from].name);
  say(line);
  if (t->size == 0) {
    finish_take(t);
    return FILE_OK;
  }
  char p[PACKET_SIZE];
  small_packet(p, "Take", o->from, o->number, my_number);
  if (host_side) {
    for (route_t &r : routes)
      if (!r.used) {
        r = {true, o->from, o->number, my_number, o->size};
        break;
      }
  }
  send_toward(p, o->from, OWN_ORIGIN);
  return FILE_OK;
}

/* ---- Receiving ---- */

void files_keep(const char *message, int size)
{
  memset(kept, 0, sizeof kept);
  memcpy(kept, message, size < PACKET_SIZE ? size : PACKET_SIZE);
}

static void got_offer(int from)
{
  if (from <= 0 || from >= MAX_USERS || from == my_number)
    return;
  offer_t *o = &offers[0];
  for (offer_t &c : offers)
    if (!c.used || c.seen < o->seen)
      o = &c;
  o->used = true;
  o->taken = false;
  o->from = from;
  o->number = (unsigned char)packetbuffer[5];
  o->size = get_number(packetbuffer + 6, 6);
  memcpy(o->hash, packetbuffer + 12, FILE_HASH);
  memcpy(o->name, packetbuffer + 44, FILE_OFFER_NAME - 1);
  o->name[FILE_OFFER_NAME - 1] = 0;
  // What is shown is shown safely too: no control characters in the log.
  for (char *c = o->name; *c; c++)
    if ((unsigned char)*c < 0x20 || *c == 0x7f)
      *c = '_';
  o->seen = ++offers_seen;
  char size[24], line[USER_DATA + 80];
  size_text(o->size, size, sizeof size);
  snprintf(line, sizeof line, "%s offers %s (%s): F7 takes it", user[from].name, o->name, size);
  say(line);
  out_file_offered(user[from].name, o->name, (long long)o->size);
}

// A part for the local user, in `p`.
static void got_part(const char *p)
{
  take_t *t = take_of((unsigned char)p[4], (unsigned char)p[5]);
  if (!t)
    return;  // a part after a cancel, or for nothing taken
  uint64_t offset = get_number(p + 7, 6);
  int length = (int)get_number(p + 13, 2);
  if (offset != t->got || length <= 0 || length > PACKET_SIZE - PART_HEAD || (uint64_t)length > t->size - t->got) {
    char drop[PACKET_SIZE];
    small_packet(drop, "Drop", t->from, t->number, my_number);
    send_toward(drop, t->from, OWN_ORIGIN);
    end_take(t, "a part of it was wrong");
    return;
  }
  part_moved_ms = t->heard = clock_ms();
  crypto_generichash_update(&t->state, (const unsigned char *)p + PART_HEAD, length);
  if (fwrite(p + PART_HEAD, 1, length, t->file) != (size_t)length) {
    char drop[PACKET_SIZE];
    small_packet(drop, "Drop", t->from, t->number, my_number);
    send_toward(drop, t->from, OWN_ORIGIN);
    end_take(t, "writing it failed");
    return;
  }
  t->got += length;
  if (t->got == t->size)
    finish_take(t);
}

static copy_t *copy_of(int number, int taker)
{
  for (copy_t &c : copies)
    if (c.used && c.number == number && c.taker == taker)
      return &c;
  return NULL;
}

static void end_copy(copy_t *c)
{
  if (c->file)
    fclose(c->file);
  c->file = NULL;
  c->used = false;
}

// A take of an own offer by `taker`: a copy starts.
static void got_take(int number, int taker)
{
  if (number < 0 || number >= OWN_OFFERS || copy_of(number, taker))
    return;
  copy_t *c = NULL;
  for (copy_t &f : copies)
    if (!f.used) {
      c = &f;
      break;
    }
  // A withdrawn offer, or one of another run, is refused like a file gone.
  FILE *file = c && own[number].used ? fopen(own[number].path, "rb") : NULL;
  if (!file) {
    char drop[PACKET_SIZE];
    small_packet(drop, "Drop", my_number, number, taker);
    send_toward(drop, taker, OWN_ORIGIN);
    return;
  }
  *c = {true, number, taker, file, 0};
}

// "Drop" for the local user: `taker` stops its copy of own offer `number`,
// or the offerer `from` stops sending its offer `number`.
static void got_drop(int from, int number, int taker)
{
  if (from == my_number) {
    copy_t *c = copy_of(number, taker);
    if (c)
      end_copy(c);
    return;
  }
  take_t *t = take_of(from, number);
  if (t)
    end_take(t, "the sender stopped sending it");
}

static offer_t *offer_of(int from, int number)
{
  for (offer_t &o : offers)
    if (o.used && o.from == from && o.number == number)
      return &o;
  return NULL;
}

static void forget_route(int from, int number, int taker)
{
  for (route_t &r : routes)
    if (r.used && r.from == from && r.number == number && (taker == 0 || r.taker == taker))
      r.used = false;
}

static bool route_known(int from, int number, int taker)
{
  for (route_t &r : routes)
    if (r.used && r.from == from && r.number == number && r.taker == taker)
      return true;
  return false;
}

// Host: a packet from client conn `i`, whose user is `who`.
static void host_files_packet(int i, int who)
{
  int number = (unsigned char)packetbuffer[5];
  int other = (signed char)packetbuffer[6];
  if (PacketRead("Offr")) {
    // Credited to the conn's user, whatever the packet claims.
    packetbuffer[4] = (char)who;
    for (int z = 0; z < client_num && z < MAX_CLIENTS; z++)
      if (z != i)
        send_packet(client_conn[z], packetbuffer, i);
    got_offer(who);
  } else if (PacketRead("Take")) {
    int from = (signed char)packetbuffer[4];
    if (from == my_number) {
      got_take(number, who);
    } else if (conn_of_user(from) >= 0 && !route_known(from, number, who)) {
      route_t *r = NULL;
      for (route_t &f : routes)
        if (!f.used && !r)
          r = &f;
      offer_t *o = offer_of(from, number);
      if (!r || !o) {
        // Not passed on: the taker must not wait for parts that never come.
        char p[PACKET_SIZE];
        small_packet(p, "Drop", from, number, who);
        send_toward(p, who, i);
        return;
      }
      *r = {true, from, number, who, o->size};
      packetbuffer[6] = (char)who;
      send_toward(packetbuffer, from, i);
    }
  } else if (PacketRead("Drop")) {
    int from = (signed char)packetbuffer[4];
    if (from == who) {          // the offerer stops: to its taker(s)
      for (route_t &r : routes)
        if (r.used && r.from == who && r.number == number && (other == 0 || r.taker == other)) {
          char p[PACKET_SIZE];
          small_packet(p, "Drop", who, number, r.taker);
          if (r.taker == my_number)
            got_drop(who, number, my_number);
          else
            send_toward(p, r.taker, i);
        }
      forget_route(who, number, other);
    } else if (from == my_number) {  // a taker stops a copy of ours
      got_drop(from, number, who);
    } else if (route_known(from, number, who)) {  // a taker stops
      forget_route(from, number, who);
      packetbuffer[6] = (char)who;
      send_toward(packetbuffer, from, i);
    }
  } else if (PacketRead("Part")) {
    int from = (signed char)kept[4];
    if (from != who || !route_known(from, number, other))
      return;  // only takers are sent parts
    // The last part ends the route, so the table holds only what is in flight.
    for (route_t &r : routes)
      if (r.used && r.from == from && r.number == number && r.taker == other &&
          get_number(kept + 7, 6) + get_number(kept + 13, 2) >= r.size)
        r.used = false;
    if (other == my_number) {
      got_part(kept);
      return;
    }
    // Passed on at once while the taker's window has room; else held, and
    // the sender is not read until it has gone on.
    part_moved_ms = clock_ms();
    int j = conn_of_user(other);
    if (j >= 0 && send_part(client_conn[j], kept) != 0) {
      held[i].used = true;
      held[i].taker = other;
      memcpy(held[i].packet, kept, PACKET_SIZE);
    }
  }
}

int files_packet(int conn_index)
{
  if (!PacketRead("Offr") && !PacketRead("Take") && !PacketRead("Part") && !PacketRead("Drop"))
    return 0;
  host_side = conn_index >= 0;
  if (host_side) {
    if (client_user && conn_index < MAX_CLIENTS && client_conn[conn_index] && client_user[conn_index] != 0)
      host_files_packet(conn_index, client_user[conn_index]);
  } else if (PacketRead("Offr")) {
    got_offer((signed char)packetbuffer[4]);
  } else if (PacketRead("Take")) {
    got_take((unsigned char)packetbuffer[5], (signed char)packetbuffer[6]);
  } else if (PacketRead("Drop")) {
    got_drop((signed char)packetbuffer[4], (unsigned char)packetbuffer[5], (signed char)packetbuffer[6]);
  } else if (PacketRead("Part") && (signed char)kept[6] == my_number) {
    got_part(kept);
  }
  clear_string(packetbuffer, PACKET_CLEAR);
  return 1;
}

int files_room(int conn_index)
{
  return conn_index < 0 || conn_index >= MAX_CLIENTS || !held[conn_index].used;
}

/* ---- Sending and progress ---- */

static void stop_take(take_t *t, const char *why);

// Parts one copy may send in one step: the step stays short.
#define PARTS_PER_STEP 64

static void pump(copy_t *c)
{
  NET_CONN *conn = host_side ? (conn_of_user(c->taker) >= 0 ? client_conn[conn_of_user(c->taker)] : NULL) : server_conn;
  if (!conn) {
    end_copy(c);
    return;
  }
  // A keyed chat seals parts whole ("Bulk"), so they are as large there.
  int room = PACKET_SIZE - PART_HEAD;
  for (int n = 0; n < PARTS_PER_STEP && c->sent < own[c->number].size; n++) {
    char p[PACKET_SIZE];
    small_packet(p, "Part", my_number, c->number, c->taker);
    long at = ftell(c->file);
    size_t got = fread(p + PART_HEAD, 1, room, c->file);
    if (got == 0) {
      // The file shrank since it was offered: the taker is told.
      char drop[PACKET_SIZE];
      small_packet(drop, "Drop", my_number, c->number, c->taker);
      send_toward(drop, c->taker, OWN_ORIGIN);
      end_copy(c);
      return;
    }
    put_number(p + 7, c->sent, 6);
    put_number(p + 13, got, 2);
    if (send_part(conn, p) != 0) {
      fseek(c->file, at, SEEK_SET);
      return;
    }
    c->sent += got;
  }
  if (c->sent >= own[c->number].size)
    end_copy(c);
}

void files_step(int chat_type)
{
  host_side = chat_type == 1;
  for (copy_t &c : copies)
    if (c.used)
      pump(&c);
  for (held_t &h : held) {
    if (!h.used)
      continue;
    int j = conn_of_user(h.taker);
    if (j < 0 || send_part(client_conn[j], h.packet) == 0)
      h.used = false;
  }
  long now = clock_ms();
  for (take_t &t : takes)
    if (t.used && now - t.heard >= FILE_SILENT_MS) {
      char why[48];
      snprintf(why, sizeof why, "nothing of it came for %d seconds", FILE_SILENT_MS / 1000);
      stop_take(&t, why);
    }
  for (take_t &t : takes)
    if (t.used)
      out_file_progress((int)(&t - takes), t.name, (long long)t.got, (long long)t.size, now - t.started);
}

// Stops take `t` of the local user: the sender is told, nothing is kept.
static void stop_take(take_t *t, const char *why)
{
  char drop[PACKET_SIZE];
  small_packet(drop, "Drop", t->from, t->number, my_number);
  send_toward(drop, t->from, OWN_ORIGIN);
  if (host_side)
    forget_route(t->from, t->number, my_number);
  end_take(t, why);
}

int file_stop_newest(int chat_type)
{
  host_side = chat_type == 1;
  take_t *t = NULL;
  for (take_t &c : takes)
    if (c.used && (!t || c.started - t->started > 0))
      t = &c;
  own_t *o = NULL;
  for (own_t &c : own)
    if (c.used && (!o || c.made - o->made > 0))
      o = &c;
  if (!t && !o) {
    say("Nothing of yours is on its way to stop");
    return FILE_NO_OFFER;
  }
  if (t && (!o || t->started - o->made >= 0)) {
    stop_take(t, "you stopped it");
    return FILE_OK;
  }
  // The offer is withdrawn: its copies end, its takers are told, and a
  // later take is answered with "Drop".
  int number = (int)(o - own);
  char drop[PACKET_SIZE];
  for (copy_t &c : copies)
    if (c.used && c.number == number) {
      if (host_side) {
        small_packet(drop, "Drop", my_number, number, c.taker);
        send_toward(drop, c.taker, OWN_ORIGIN);
      }
      end_copy(&c);
    }
  if (!host_side) {
    small_packet(drop, "Drop", my_number, number, 0);
    send_toward(drop, 1, OWN_ORIGIN);
  }
  o->used = false;
  char line[USER_DATA + 60];
  snprintf(line, sizeof line, "You no longer offer %s", o->name);
  say(line);
  return FILE_OK;
}

int files_busy()
{
  for (const copy_t &c : copies)
    if (c.used)
      return 1;
  return clock_ms() - part_moved_ms < FILE_BUSY_MS;
}

void files_user_gone(int who)
{
  for (take_t &t : takes)
    if (t.used && t.from == who)
      end_take(&t, "the sender left");
  for (copy_t &c : copies)
    if (c.used && c.taker == who)
      end_copy(&c);
  for (offer_t &o : offers)
    if (o.used && o.from == who)
      o.used = false;
  for (route_t &r : routes)
    if (r.used && (r.from == who || r.taker == who)) {
      // A taker whose sender left is told; so is nobody for a taker that left.
      if (r.from == who && r.taker != my_number && host_side) {
        char p[PACKET_SIZE];
        small_packet(p, "Drop", who, r.number, r.taker);
        send_toward(p, r.taker, OWN_ORIGIN);
      }
      r.used = false;
    }
  for (held_t &h : held)
    if (h.used && (h.taker == who || (signed char)h.packet[4] == who))
      h.used = false;
}

void files_end()
{
  for (take_t &t : takes)
    if (t.used)
      end_take(&t, "the chat ended");
  for (copy_t &c : copies)
    if (c.used)
      end_copy(&c);
  memset(offers, 0, sizeof offers);
  memset(own, 0, sizeof own);
  memset(routes, 0, sizeof routes);
  memset(held, 0, sizeof held);
  own_next = 0;
}
