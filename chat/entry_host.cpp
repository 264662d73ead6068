// The console host alone, linked without Allegro: it proves that the chat's
// core and the console reach no Allegro routine. The program itself is
// entry.cpp's.
#include "host.h"

int main(int argc, char **argv)
{
  return console_host_main(argc, argv);
}
