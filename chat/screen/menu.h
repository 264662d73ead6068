// The menu front end and the values it leaves for the chat.
#ifndef YAMMER_MENU_H
#define YAMMER_MENU_H

// The fields the menu fills (host_name, client_name, ip_addy, port_num,
// pick_color) are the chat's start values, in fields.h.
#include "fields.h"

#define MENU_REPEAT_TICKS  5   // a held arrow acts once per 5 ticks (12 a second)

extern const char *main_menu[3];
extern const char *host_menu[6];
extern const char *client_menu[7];

extern int menu_handle;        // 0 main, 1 host, 2 join
extern int menupar[2];         // colour chosen on the host [0] and join [1] screens
extern int super_chat_type;    // 1 host, 2 join
extern bool loading_flag;

// The run state of one call of menu_interface.
typedef struct menu_run_typ {
  int item;             // highlighted item number
  int bottom_of_list;   // highest item number of the current screen
  int wait;             // repeat countdown in ticks
  bool wait_flag;       // keys under repeat control are locked
  bool done_menu;       // the menu is to end
  bool enter_used;      // ENTER has acted and not been let go since
  bool f5_down;         // F5 was down in the last step: one pick per press
} menu_run;

// Runs the menu until the user starts a chat (program_state 2) or chooses
// EXIT (program_state 3). Always begins on the main screen.
void menu_interface();

// Draws one frame of the current screen with `item` highlighted, polls
// typing into the highlighted text field, and copies the frame to the screen.
void show_menu(int item);

// Puts `run` and menu_handle in their state at the start of a menu run.
void menu_start(menu_run *run);

// One 60 Hz logic step: reads Allegro's key array and moves the highlight,
// changes colour or screen, or ends the menu.
void menu_step(menu_run *run);

#endif
