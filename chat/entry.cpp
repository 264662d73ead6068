// Process entry: hands control to the program's start-up through Allegro's
// main wrapper.
#include <allegro.h>
#include <stdlib.h>
#include "discovery.h"

int yammerlane_main();

int main()
{
  // Only the program itself finds and is found, and not where its tests
  // run it outside a network of their own: they name YAMMERLANE_NO_DISCOVERY.
  if (!getenv("YAMMERLANE_NO_DISCOVERY"))
    discovery_port = DISCOVERY_PORT;
  return yammerlane_main();
}
END_OF_MAIN()
