// Test entry for the menu tests: Allegro on its "none" system, with a
// stand-in keyboard driver so that the real key buffer and readkey work.
#include <allegro.h>
#include <gtest/gtest.h>

// The "none" system has no keyboard driver, and without one readkey gives
// 0 for every key. The buffer, simulate_keypress and the `key` array are
// Allegro's own; only the driver record is stood in.
static KEYBOARD_DRIVER headless_keyboard = {
  0,                   // id
  "headless",          // name
  "headless",          // desc
  "headless",          // ascii_name
  FALSE,               // autorepeat
  NULL,                // init
  NULL,                // exit
  NULL,                // poll
  NULL,                // set_leds
  NULL,                // set_rate
  NULL,                // wait_for_input
  NULL,                // stop_waiting_for_input
  NULL,                // scancode_to_ascii
  NULL,                // scancode_to_name
};

int main(int argc, char **argv)
{
  testing::InitGoogleTest(&argc, argv);
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0) {
    fprintf(stderr, "Allegro's none system did not start\n");
    return 1;
  }
  keyboard_driver = &headless_keyboard;
  return RUN_ALL_TESTS();
}
END_OF_MAIN()
