// Process entry: answers --help and --version without a display, runs the
// console host for --host without ever starting Allegro, and otherwise
// hands control to the program's start-up through Allegro's main wrapper.
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "discovery.h"
#include "host.h"

#ifndef YAMMER_VERSION
#define YAMMER_VERSION "unknown"
#endif

int yammerlane_main();

int main(int argc, char **argv)
{
  // Only the program itself finds and is found, and not where its tests
  // run it outside a network of their own: they name YAMMERLANE_NO_DISCOVERY.
  if (!getenv("YAMMERLANE_NO_DISCOVERY"))
    discovery_port = DISCOVERY_PORT;
  for (int i = 1; i < argc; i++)
    if (strcmp(argv[i], "--host") == 0)
      return console_host_main(argc, argv);
  // Asked before Allegro starts: neither answer needs a display.
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    yammerlane_help(stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("yammerlane %s\n", YAMMER_VERSION);
    return 0;
  }
  if (argc > 1) {
    fprintf(stderr, "yammerlane: unknown argument '%s'\n", argv[1]);
    yammerlane_help(stderr);
    return 2;
  }
  return yammerlane_main();
}
END_OF_MAIN()
