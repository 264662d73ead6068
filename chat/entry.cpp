// Process entry: answers --help and --version without a display, runs the
// console host for --host without ever starting Allegro, and otherwise
// hands control to the program's start-up through Allegro's main wrapper.
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "discovery.h"
#include "host.h"
#include "scale.h"

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
  // "--scale N" or "--scale=N", alone.
  const char *scale_text = NULL;
  if (argc == 3 && strcmp(argv[1], "--scale") == 0)
    scale_text = argv[2];
  else if (argc == 2 && strncmp(argv[1], "--scale=", 8) == 0)
    scale_text = argv[1] + 8;
  else if (argc == 2 && strcmp(argv[1], "--scale") == 0)
    scale_text = "";
  if (scale_text) {
    scale_asked = parse_scale(scale_text);
    if (!scale_asked) {
      fprintf(stderr, "yammerlane: --scale takes 1, 2, 3 or 4, not '%s'\n", scale_text);
      yammerlane_help(stderr);
      return 2;
    }
  } else if (argc > 1) {
    fprintf(stderr, "yammerlane: unknown argument '%s'\n", argv[1]);
    yammerlane_help(stderr);
    return 2;
  }
  const char *env_scale = getenv("YAMMERLANE_SCALE");
  if (!scale_asked && env_scale && env_scale[0]) {
    scale_asked = parse_scale(env_scale);
    if (!scale_asked)
      fprintf(stderr, "yammerlane: YAMMERLANE_SCALE takes 1, 2, 3 or 4, not '%s'; choosing from the desktop\n",
              env_scale);
  }
  return yammerlane_main();
}
END_OF_MAIN()
