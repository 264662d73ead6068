// Finding "data.dat": the working directory first, then the data folder
// beside the installed program (<prefix>/bin/../share/yammerlane).
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include "datapath.h"

// The data folder relative to the program's folder; the build passes the
// one its install layout gives.
#ifndef YAMMER_DATA_FROM_BIN
#define YAMMER_DATA_FROM_BIN "../share/yammerlane"
#endif

static const char datafile_name[] = "data.dat";

static int proc_self_exe(char *path, size_t size)
{
  if (size < 2)
    return -1;
  ssize_t n = readlink("/proc/self/exe", path, size);
  // A link that fills the whole buffer may have been cut short.
  if (n <= 0 || (size_t)n >= size)
    return -1;
  path[n] = 0;
  return 0;
}

int (*program_file_finder)(char *path, size_t size) = proc_self_exe;

static bool exists(const char *name)
{
  struct stat st;
  return stat(name, &st) == 0;
}

const char *datafile_path(char *path, size_t size)
{
  if (size == 0)
    return path;
  snprintf(path, size, "%s", datafile_name);
  if (exists(datafile_name))
    return path;

  char program[PATH_MAX];
  if (program_file_finder(program, sizeof program) != 0)
    return path;
  char *slash = strrchr(program, '/');
  if (!slash)
    return path;
  slash[1] = 0;

  char installed[PATH_MAX];
  int n = snprintf(installed, sizeof installed, "%s%s/%s", program, YAMMER_DATA_FROM_BIN,
                   datafile_name);
  if (n < 0 || (size_t)n >= sizeof installed || (size_t)n >= size || !exists(installed))
    return path;
  memcpy(path, installed, (size_t)n + 1);
  return path;
}
