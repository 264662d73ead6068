// The console host: a chat's host with no display, its log on standard
// output and its own lines from standard input ("yammerlane --host").
#ifndef YAMMER_HOST_H
#define YAMMER_HOST_H

#include <stdio.h>

// The program's help: both ways of running it and the host's options.
void yammerlane_help(FILE *out);

// Runs the console host with the program's arguments (argv[0] the
// program, "--host" among the rest) until SIGINT, SIGTERM or SIGHUP. 0
// after the chat ended; 1 when it could not start (the cause on standard
// error); 2 for bad options (the help on standard error).
int console_host_main(int argc, char **argv);

#endif
