// The configuration file "netlane.cfg": finding it, handing it to every
// registered driver, and the section and setting readers the drivers use.
//
//   # a comment (only with "#" in the first column)
//   [internet]          <- header: exactly "[name]", nothing else on the line
//   port = 24785        <- key and value split at the first "=", both trimmed
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "internal.h"

enum { LINE_SIZE = 1024 };  /* 1023 characters of a line and the NUL */

/* Every driver reads the file again for each of its sections, so its size
 * bounds the work a file can make. */
enum { LARGEST_FILE = 1024 * 1024 };

static char default_config_filename[] = "netlane.cfg";

/* The whole of a regular file of at most LARGEST_FILE bytes, in a buffer the
 * caller frees; NULL for anything else. Opened without blocking, so that a
 * FIFO or a device under the file's name is refused rather than waited on;
 * read with a bound, since a file may grow, or be one of the system's
 * generated files that report no size. */
static char *read_small_file(const char *path, size_t *size)
{
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return NULL;
  struct stat st;
  char *buf = NULL;
  size_t len = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= LARGEST_FILE)
    buf = static_cast<char *>(malloc(LARGEST_FILE + 1));
  while (buf && len <= LARGEST_FILE) {
    ssize_t got = read(fd, buf + len, LARGEST_FILE + 1 - len);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) len = LARGEST_FILE + 1;
      break;
    }
    len += (size_t)got;
  }
  close(fd);
  if (len > LARGEST_FILE) {
    free(buf);
    return NULL;
  }
  *size = len;
  return buf;
}

/* 0: loaded; 1: `fname` names nothing that exists (or is too long to name);
 * 2: the file cannot be opened, is no regular file, or is larger than 1 MB. */
int net_loadconfig(const char *fname)
{
  char path[LINE_SIZE];

  if (!fname) {
    strcpy(path, default_config_filename);
  } else {
    size_t len = strlen(fname);
    if (len >= sizeof path) return 1;
    memcpy(path, fname, len + 1);
    struct stat st;
    if (stat(path, &st) != 0) return 1;
    if (S_ISDIR(st.st_mode)) {
      if (len + 1 + strlen(default_config_filename) >= sizeof path) return 1;
      strcat(path, "/");
      strcat(path, default_config_filename);
    }
  }

  size_t size = 0;
  char *text = read_small_file(path, &size);
  if (!text) return 2;
  // A byte-order mark that an editor put in front would hide the first header.
  size_t skip = size >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
  FILE *fp = fmemopen(text + skip, size - skip, "r");
  if (!fp) {
    free(text);
    return 2;
  }

  for (int n = 0; n <= 31; n++) {
    if (!net_driverlist_test(net_drivers_all, n)) continue;
    NET_DRIVER *driver = __netlane_internal__get_driver(n);
    if (!driver) continue;
    if (driver->load_conn_config) driver->load_conn_config(driver, fp, "conns");
    if (driver->load_config) driver->load_config(driver, fp);
  }

  fclose(fp);
  free(text);
  return 0;
}

// Reads one line into buf (LINE_SIZE bytes). A line longer than 1023
// characters with its newline is skipped to its end and comes back empty.
// A CR LF line end reads as one newline, as a text-mode read would on the
// platforms that write them. 0: nothing could be read (end of file).
// Read by the character, not with fgets: a NUL byte would hide how much
// fgets took, and the rest of an overlong line would come back as a line.
static int read_line(FILE *fp, char *buf)
{
  size_t len = 0;  // characters taken, the newline included
  int c = EOF;
  while ((c = getc(fp)) != EOF) {
    if (len < LINE_SIZE - 1) buf[len] = (char)c;
    len++;
    if (c == '\n') break;
  }
  if (len == 0) {
    buf[0] = '\0';
    return 0;
  }
  size_t chars = c == '\n' ? len - 1 : len;
  if (chars > LINE_SIZE - 2) {  // 1022 characters and the newline are the longest line kept
    buf[0] = '\0';
    return 1;
  }
  buf[len] = '\0';
  if (len >= 2 && buf[len - 2] == '\r' && buf[len - 1] == '\n') {
    buf[len - 2] = '\n';
    buf[len - 1] = '\0';
  }
  return 1;
}

/* 0: found, and fp is on the line after the header; 1: not found. Always
 * searches from the start of the file. */
int __netlane_internal__seek_section(FILE *fp, const char *section)
{
  char target[LINE_SIZE];
  char line[LINE_SIZE];

  if (!fp || !section) return 1;
  if (strlen(section) + 3 >= sizeof target) return 1;
  strcpy(target, "[");
  strcat(target, section);
  strcat(target, "]\n");

  rewind(fp);
  while (read_line(fp, line)) {
    if (strcmp(line, target) == 0) return 0;
    if (feof(fp)) break;
  }
  return 1;
}

static int is_blank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

static char *trim(char *text)
{
  while (is_blank(*text)) text++;
  size_t len = strlen(text);
  while (len > 0 && is_blank(text[len - 1])) text[--len] = '\0';
  return text;
}

/* 0: *option and *value point at the next setting's key and value (valid
 * until the next call); 1: the section has no further setting. */
int __netlane_internal__get_setting(FILE *fp, char **option, char **value)
{
  static char buffer[LINE_SIZE];

  if (!fp || !option || !value) return 1;
  for (;;) {
    if (!read_line(fp, buffer)) return 1;
    if (feof(fp)) break;  // a last line without a newline is still a setting
    if (buffer[0] == '#') continue;
    if (buffer[0] == '[' || strchr(buffer, '=')) break;
  }

  if (buffer[0] == '#') return 1;
  char *eq = strchr(buffer, '=');
  if (!eq) return 1;
  *eq = '\0';
  *option = trim(buffer);
  *value = trim(eq + 1);
  return 0;
}
