// Start-up and the program loop.
#include <allegro.h>
#include <limits.h>
#include <stdio.h>
#include "main.h"
#include "menu.h"
#include "chat_it.h"
#include "data.h"
#include "datapath.h"
#include "scale.h"
#include "timers.h"

// Runs the state that program_state names; state 3 releases everything.
static void run_state()
{
  switch (program_state) {
    case 1:
      clear_to_color(buffer, 0);
      clear_to_color(screen, 0);
      menu_interface();
      break;
    case 2:
      chat_prog(super_chat_type);
      break;
    case 3:
      unload_datafile(data);
      data = NULL;
      destroy_bitmap(buffer);
      buffer = NULL;
      destroy_bitmap(background);
      background = NULL;
      allegro_exit();
      exit_prog = true;
      break;
    default:
      break;
  }
}

int yammerlane_main()
{
  // Without a usable display Allegro's autodetection finds no system
  // driver, and install_timer would then dereference the missing driver.
  if (install_allegro(SYSTEM_AUTODETECT, &errno, atexit) != 0) {
    fprintf(stderr, "Unable to start Allegro: no usable display (is DISPLAY set?)\n");
    if (allegro_error[0])
      fprintf(stderr, "%s\n", allegro_error);
    return -1;
  }
  install_timer();
  install_keyboard();
  // Only the log's scrollback reads it (the wheel); without one, nothing does.
  bool mouse = install_mouse() >= 0;

  start_sound();

  if (open_scaled_window() != 0) {
    allegro_message("Unable initialize graphics module\n%s\n", allegro_error);
    return -1;
  }
  if (mouse)
    show_os_cursor(MOUSE_CURSOR_ARROW);  // the desktop's pointer over the window

  char data_path[PATH_MAX];
  data = load_datafile(datafile_path(data_path, sizeof data_path));
  if (!datafile_usable(data)) {
    if (data)
      unload_datafile(data);
    data = NULL;
    allegro_message("Error loading data file.\n");
    return -1;
  }

  set_window_title("Yammerlane");

  if (set_display_switch_mode(SWITCH_BACKGROUND) != 0)
    set_display_switch_mode(SWITCH_BACKAMNESIA);

  LOCK_VARIABLE(speed_counter);
  LOCK_FUNCTION(increment_speed_counter);
  if (install_int_ex(increment_speed_counter, BPS_TO_TIMER(60)) != 0) {
    // Every loop waits for this tick; without it the program would hang.
    allegro_message("Unable to start the 60 Hz timer.\n");
    return -1;
  }

  buffer = create_bitmap(frame_w(), frame_h());
  background = create_bitmap(frame_w(), frame_h());
  if (!buffer || !background) {
    // Every screen draws through both; without them the first frame crashes.
    allegro_message("Unable to create the screen bitmaps.\n");
    return -1;
  }
  clear_to_color(buffer, 0);
  clear_to_color(background, 0);
  clear_to_color(screen, 0);

  do {
    run_state();
  } while (!exit_prog);

  return 0;
}
