// The console host: options, the key file, the log on standard output,
// lines from standard input and the signals that end the chat. It runs the
// chat's core as the host screen does, at 60 logic steps a second, and
// never starts Allegro: no display, keyboard or sound is needed.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>
#include "decimal.h"
#include "engine.h"
#include "events.h"
#include "fields.h"
#include "host.h"
#include "network.h"
#include "seal.h"
#include "session.h"
#include "timers.h"

void yammerlane_help(FILE *out)
{
  fputs("Usage: yammerlane [--help | --version] [--scale N]\n"
        "       yammerlane --host [--name NAME] [--port N] [--color N] [--key-file FILE]\n"
        "A text chat for a local network or the Internet, in a 640x480 window:\n"
        "host a chat or join one from the menu (see yammerlane(6)).\n"
        "\n"
        "  --help     show this help and exit\n"
        "  --version  show the version and exit\n"
        "  --scale N  a window N times as wide and high (N: 1 to 4); without it\n"
        "             YAMMERLANE_SCALE=N, else the largest that fits the desktop\n"
        "  --host     host a chat without a window, as on a server: the chat's\n"
        "             lines on standard output, lines typed on standard input\n"
        "             are the host's own; SIGINT, SIGTERM or SIGHUP end it\n"
        "\n"
        "Options of --host:\n"
        "  --name NAME      the host's own name, 2 to 9 characters (default host)\n"
        "  --port N         UDP port to listen on, 1-65535 (default netlane.cfg's, 24785)\n"
        "  --color N        colour of the host's lines, 0-255 (default 5)\n"
        "  --key-file FILE  a chat with a key: the first line of FILE, 1 to 40\n"
        "                   characters; FILE must be readable by its owner only\n"
        "\n"
        "In the chat PgUp, PgDn, Home and the mouse wheel page back through the\n"
        "log's last 2000 lines; End shows the live page again. F6 offers a file\n"
        "to the chat, F7 takes the newest offer, F8 stops your newest file on its\n"
        "way (one coming in, or your offer).\n", out);
}

/* ---- Options ---- */

// Bad options: the reason and the help on standard error.
static int refuse_option(const char *reason, const char *what)
{
  fprintf(stderr, "yammerlane: %s '%s'\n", reason, what);
  yammerlane_help(stderr);
  return 2;
}

// `--name NAME` or `--name=NAME`: the value of option `name` at argv[*i]
// (moving *i past it), or NULL when argv[*i] is another option. *missing is
// set when the option has no value.
static const char *option_value(const char *name, int argc, char **argv, int *i, bool *missing)
{
  size_t len = strlen(name);
  const char *arg = argv[*i];
  if (strncmp(arg, name, len) != 0)
    return NULL;
  if (arg[len] == '=')
    return arg + len + 1;
  if (arg[len] != 0)
    return NULL;
  if (*i + 1 >= argc) {
    *missing = true;
    return NULL;
  }
  return argv[++*i];
}

static bool all_digits(const char *text, size_t most)
{
  size_t len = strlen(text);
  return len > 0 && len <= most && strspn(text, "0123456789") == len;
}

typedef struct host_options_t {
  const char *name;
  const char *port;       // "" for the configured port
  int color;
  const char *key_file;   // NULL: a chat without a key
} host_options_t;

// 0 and `o` filled, or 2 after the help went to standard error; 3 for
// --help, which has gone to standard output.
static int read_options(int argc, char **argv, host_options_t *o)
{
  o->name = "host";
  o->port = "";
  o->color = 5;
  o->key_file = NULL;
  for (int i = 1; i < argc; i++) {
    bool missing = false;
    const char *v;
    if (strcmp(argv[i], "--host") == 0)
      continue;
    if (strcmp(argv[i], "--help") == 0) {
      yammerlane_help(stdout);
      return 3;
    }
    if ((v = option_value("--name", argc, argv, &i, &missing))) {
      size_t len = strlen(v);
      if (len < 2 || len > NAME_SIZE - 1)
        return refuse_option("--name takes 2 to 9 characters, not", v);
      o->name = v;
    } else if ((v = option_value("--port", argc, argv, &i, &missing))) {
      if (!v[0] || !port_text_ok(v))
        return refuse_option("--port takes a number from 1 to 65535, not", v);
      o->port = v;
    } else if ((v = option_value("--color", argc, argv, &i, &missing))) {
      if (!all_digits(v, 3) || __netlane_internal__read_decimal(v) > 255)
        return refuse_option("--color takes a number from 0 to 255, not", v);
      o->color = __netlane_internal__read_decimal(v);
    } else if ((v = option_value("--key-file", argc, argv, &i, &missing))) {
      if (!v[0])
        return refuse_option("--key-file takes a file name, not", v);
      o->key_file = v;
    } else {
      return refuse_option(missing ? "a value is missing after" : "unknown option", argv[i]);
    }
  }
  return 0;
}

/* ---- The key file ---- */

// Whether the file's access list (when it has one) lets anybody read it
// but its owner and the user this program runs as: a service manager that
// hands a key to a service grants that user by such a list.
#define ACL_ENTRY_SIZE 8    // tag (2 bytes), permissions (2), id (4), little-endian
#define ACL_HEADER_SIZE 4   // version
static bool list_lets_others_read(int fd)
{
  unsigned char acl[ACL_HEADER_SIZE + 32 * ACL_ENTRY_SIZE];
  ssize_t size = fgetxattr(fd, "system.posix_acl_access", acl, sizeof acl);
  if (size < 0)
    return errno == ERANGE;  // too long a list to read: treated as open
  for (ssize_t at = ACL_HEADER_SIZE; at + ACL_ENTRY_SIZE <= size; at += ACL_ENTRY_SIZE) {
    unsigned tag = acl[at] | acl[at + 1] << 8, perm = acl[at + 2] | acl[at + 3] << 8;
    unsigned id = acl[at + 4] | acl[at + 5] << 8 | acl[at + 6] << 16 | (unsigned)acl[at + 7] << 24;
    bool reads = (perm & 4) != 0;
    // 0x01 the owner, 0x10 the mask; 0x02 a named user, 0x04 the owning
    // group, 0x08 a named group, 0x20 everybody else.
    if (reads && (tag == 0x04 || tag == 0x08 || tag == 0x20 || (tag == 0x02 && id != geteuid())))
      return true;
  }
  return false;
}

// Reads the KEY from the first line of `path` into chat_key. 0, or 1 with
// the reason on standard error; nothing is read from a file that others
// may read, as ssh refuses such keys.
static int read_key_file(const char *path)
{
  int fd = open(path, O_RDONLY | O_NOCTTY);
  if (fd < 0) {
    fprintf(stderr, "yammerlane: cannot read the key file %s: %s\n", path, strerror(errno));
    return 1;
  }
  struct stat st;
  bool has_list = fgetxattr(fd, "system.posix_acl_access", NULL, 0) > 0;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    fprintf(stderr, "yammerlane: the key file %s is not a regular file\n", path);
    close(fd);
    return 1;
  }
  // With an access list the group bits are its mask, and the list tells.
  bool open_to_others = (st.st_mode & S_IROTH) || (has_list ? list_lets_others_read(fd) : (st.st_mode & S_IRGRP));
  if (open_to_others) {
    fprintf(stderr, "yammerlane: the key file %s may be read by others than its owner (mode %04o): "
            "refused; make it private with chmod 600 %s\n", path, (unsigned)(st.st_mode & 07777), path);
    close(fd);
    return 1;
  }
  char text[KEY_TEXT_SIZE + 2];
  ssize_t got = read(fd, text, sizeof text - 1);
  close(fd);
  if (got < 0)
    got = 0;
  text[got] = 0;
  text[strcspn(text, "\r\n")] = 0;
  size_t len = strlen(text);
  if (len == 0 || len > KEY_TEXT_SIZE - 1) {
    fprintf(stderr, "yammerlane: the first line of the key file %s must hold 1 to %d characters\n",
            path, KEY_TEXT_SIZE - 1);
    return 1;
  }
  memcpy(chat_key, text, len + 1);
  explicit_bzero(text, sizeof text);
  return 0;
}

/* ---- The log ---- */

static bool colored = false;   // standard output is a terminal

static void log_line(const char *who, int color, const char *text)
{
  char stamp[16];
  time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  // Colour 0, the "Server" lines', is black: the terminal's own colour instead.
  if (colored && (color & 255) != 0)
    printf("%s \033[38;5;%dm%s\033[0m: %s\n", stamp, color & 255, who, text);
  else
    printf("%s %s: %s\n", stamp, who, text);
  fflush(stdout);
}

static void log_background(int seed)
{
  (void)seed;
  log_line("Server", 0, change);
}

static void log_alert(int who)
{
  char line[USER_DATA];
  if (who > 0 && who < MAX_USERS && user[who].name[0])
    snprintf(line, sizeof line, "%s sounded the alert", user[who].name);
  else
    snprintf(line, sizeof line, "The alert sounded");
  log_line("Server", 0, line);
}

// What the core tells, as the console shows it: lines only.
static const chat_events console_events = {
  log_line,        /* line */
  NULL,            /* users_changed: the joins and leaves are lines */
  log_background,  /* background */
  log_alert,       /* alert */
  NULL,            /* sound */
  NULL,            /* ended: the host ends its chat itself */
  NULL,            /* file_offered: the console host relays files and never takes them */
  NULL,            /* file_progress */
  NULL,            /* file_saved */
};

/* ---- Standard input ---- */

#define INPUT_SIZE 4096   // bytes of input waiting for their end of line

typedef struct input_t {
  bool open;              // until end of input or an error
  char bytes[INPUT_SIZE];
  size_t count;
  bool cutting;           // the rest of an overlong line is being skipped
} input_t;

// Takes what standard input has, without waiting.
static void input_read(input_t *in)
{
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  if (!in->open || poll(&p, 1, 0) <= 0)
    return;
  if (p.revents & POLLNVAL) {
    in->open = false;
    return;
  }
  ssize_t got = read(STDIN_FILENO, in->bytes + in->count, INPUT_SIZE - in->count);
  if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN))
    in->open = false;  // the host runs on, as under a service manager
  if (got > 0)
    in->count += (size_t)got;
}

// The next whole line into `line` (USER_TYPINGS bytes): 1, or 0 when no
// line is whole. A line longer than 54 characters is cut, with a note on
// standard error; one longer than the buffer is cut as soon as it fills it
// and the rest of it skipped. At the end of input a last line without its
// newline counts too.
static int input_line(input_t *in, char *line)
{
  for (;;) {
    char *end = (char *)memchr(in->bytes, '\n', in->count);
    if (!end && in->count < INPUT_SIZE && (in->open || in->count == 0))
      return 0;
    size_t len = end ? (size_t)(end - in->bytes) : in->count;
    size_t used = end ? len + 1 : len;
    bool tail = in->cutting;
    in->cutting = !end && in->open;
    if (len > 0 && in->bytes[len - 1] == '\r')
      len--;
    size_t take = len < USER_TYPINGS - 1 ? len : USER_TYPINGS - 1;
    if (!tail) {
      memcpy(line, in->bytes, take);
      line[take] = 0;
    }
    memmove(in->bytes, in->bytes + used, in->count - used);
    in->count -= used;
    if (tail)
      continue;  // the rest of a line already cut
    if (take < len)
      fprintf(stderr, "yammerlane: a line longer than %d characters was cut to them\n", USER_TYPINGS - 1);
    return 1;
  }
}

/* ---- Signals ---- */

static volatile sig_atomic_t ending = 0;

static void on_signal(int sig)
{
  (void)sig;
  ending = 1;
}

static void catch_signals()
{
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, NULL);
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGHUP, &sa, NULL);
  // A reader of the log that goes away must not end the chat.
  signal(SIGPIPE, SIG_IGN);
}

/* ---- The host ---- */

#define STEP_US 16667   // 60 logic steps a second, as the screen's tick

int console_host_main(int argc, char **argv)
{
  host_options_t o;
  int options = read_options(argc, argv, &o);
  if (options != 0)
    return options == 3 ? 0 : options;
  if (o.key_file && read_key_file(o.key_file) != 0)
    return 1;
  if (!o.key_file)
    chat_key[0] = 0;
  snprintf(host_name, sizeof host_name, "%s", o.name);
  snprintf(port_num, sizeof port_num, "%s", o.port);
  pick_color = o.color;
  colored = isatty(STDOUT_FILENO) == 1;
  catch_signals();

  chat_out = console_events;
  char why[START_FAILURE_SIZE];
  int result = chat_host_open(why);
  explicit_bzero(chat_key, sizeof chat_key);
  if (result != 0) {
    // The failure box's two lines as one.
    char *newline = strchr(why, '\n');
    if (newline)
      *newline = 0;
    fprintf(stderr, "yammerlane: %s%s%s\n", why, newline ? ": " : "", newline ? newline + 1 : "");
    chat_close(1);
    return 1;
  }

  input_t in;
  memset(&in, 0, sizeof in);
  in.open = true;
  long long next = clock_us();
  while (!ending) {
    input_read(&in);
    // One line a step: a step sends the one typed line there is.
    if (!send_flag && input_line(&in, user[my_number].typings))
      chat_say(1);
    chat_net_step(1);
    next += STEP_US;
    long long now = clock_us();
    // The wait serves the files on their way every millisecond.
    while (next - now > 0) {
      if (!chat_files_pump(1))
        wait_ms((int)((next - now + 999) / 1000));
      now = clock_us();
    }
    if (now - next > 10 * STEP_US)
      next = now;  // a long stall is not caught up in a burst
  }
  chat_close(1);
  return 0;
}
