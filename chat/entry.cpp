// Process entry: hands control to the program's start-up through Allegro's
// main wrapper.
#include <allegro.h>

int yammerlane_main();

int main() { return yammerlane_main(); }
END_OF_MAIN()
