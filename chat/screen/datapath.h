// Where "data.dat" is read from: the working directory when it holds one,
// else the data folder of an installed tree, found from the program's own
// file, so an installed program starts from any folder and a tree unpacked
// anywhere works where it lies.
#ifndef YAMMER_DATAPATH_H
#define YAMMER_DATAPATH_H

#include <stddef.h>

// Seam around "which file is this program": by default /proc/self/exe.
// Writes the program's absolute file name into `path` and answers 0, or
// answers -1 when it cannot be had or does not fit in `size` bytes.
extern int (*program_file_finder)(char *path, size_t size);

// Writes the name to load "data.dat" from into `path` and returns `path`:
// "data.dat" itself when the working directory has one, and also when no
// installed one is found, so that a missing file still ends the start-up
// with its own message; otherwise the installed one.
const char *datafile_path(char *path, size_t size);

#endif
