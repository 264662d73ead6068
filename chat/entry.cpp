// Process entry: answers --help and --version without a display, then hands
// control to the program's start-up through Allegro's main wrapper.
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "discovery.h"

#ifndef YAMMER_VERSION
#define YAMMER_VERSION "unknown"
#endif

int yammerlane_main();

static void print_help(FILE *out)
{
  fputs("Usage: yammerlane [--help | --version]\n"
        "A text chat for a local network or the Internet, in a 640x480 window:\n"
        "host a chat or join one from the menu (see yammerlane(6)).\n"
        "\n"
        "  --help     show this help and exit\n"
        "  --version  show the version and exit\n", out);
}

int main(int argc, char **argv)
{
  // Asked before Allegro starts: neither answer needs a display.
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    print_help(stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("yammerlane %s\n", YAMMER_VERSION);
    return 0;
  }
  if (argc > 1) {
    fprintf(stderr, "yammerlane: unknown argument '%s'\n", argv[1]);
    print_help(stderr);
    return 2;
  }
  // Only the program itself finds and is found, and not where its tests
  // run it outside a network of their own: they name YAMMERLANE_NO_DISCOVERY.
  if (!getenv("YAMMERLANE_NO_DISCOVERY"))
    discovery_port = DISCOVERY_PORT;
  return yammerlane_main();
}
END_OF_MAIN()
