// The three menu screens (main, host, join): their logic step and drawing.
#include <allegro.h>
#include <stdlib.h>
#include <string.h>
#include "menu.h"
#include "data.h"
#include "discovery.h"
#include "effects.h"
#include "scale.h"
#include "seal.h"
#include "shell.h"
#include "timers.h"

const char *main_menu[3] = { "HOST CHAT", "JOIN CHAT", "EXIT" };
const char *host_menu[6] = { "START", "NAME", "PORT", "KEY", "TEXT COLOR", "CANCEL" };
const char *client_menu[7] = { "START", "NAME", "HOST IP", "PORT", "KEY", "TEXT COLOR", "CANCEL" };

int menu_handle = 0;
int menupar[2] = { 5, 5 };
int super_chat_type = 1;
bool loading_flag = false;

// Colours of the default 256-colour palette.
#define ITEM_COLOR       15
#define HIGHLIGHT_COLOR  12
#define FIELD_COLOR     255

// Item numbers on the host (1) and join (2) screens.
#define KEY_ITEM(handle)    ((handle) == 1 ? 3 : 4)
#define COLOR_ITEM(handle)  ((handle) == 1 ? 4 : 5)
#define CANCEL_ITEM(handle) ((handle) == 1 ? 5 : 6)

// The text field behind item `item` of the current screen and its width,
// or NULL when that item is no text field.
static char *field_of(int item, int *width)
{
  if (menu_handle == 1) {
    switch (item) {
      case 1: *width = NAME_SIZE; return host_name;
      case 2: *width = PORT_NUM_SIZE; return port_num;
      case 3: *width = KEY_TEXT_SIZE; return chat_key;
    }
  } else if (menu_handle == 2) {
    switch (item) {
      case 1: *width = NAME_SIZE; return client_name;
      case 2: *width = IP_ADDY_SIZE; return ip_addy;
      case 3: *width = PORT_NUM_SIZE; return port_num;
      case 4: *width = KEY_TEXT_SIZE; return chat_key;
    }
  }
  return NULL;
}

// The host announces only names of two or more characters, so a shorter
// one would leave its owner's lines lost as "Unknown user": START waits, and
// the note under NAME stays until the name is long enough.
#define NAME_MIN 2
static const char name_note[] = "Type a name of 2 to 9 characters";
static bool name_refused = false;

static const char *screen_name()
{
  return menu_handle == 1 ? host_name : client_name;
}

void menu_start(menu_run *run)
{
  name_refused = false;
  run->item = 1;
  run->wait = MENU_REPEAT_TICKS;
  run->bottom_of_list = 2;
  run->wait_flag = true;
  run->done_menu = false;
  // An ENTER still down when the menu starts was pressed for the chat: it
  // must not choose an item as well.
  run->enter_used = key[KEY_ENTER] != 0;
  run->f5_down = true;
  menu_handle = 0;
}

void menu_step(menu_run *run)
{
  run->bottom_of_list = menu_handle == 0 ? 2 : CANCEL_ITEM(menu_handle);

  if (run->wait_flag) {
    run->wait--;
    if (run->wait <= 0) {
      run->wait_flag = false;
      run->wait = MENU_REPEAT_TICKS;
    }
  }

  // ENTER acts in every step while it is down, except that once it has
  // changed the screen or ended the menu it must be let go first: a press
  // lasts several ticks, and CANCEL would otherwise carry on through
  // "JOIN CHAT" into the join screen.
  if (!key[KEY_ENTER])
    run->enter_used = false;
  bool enter = key[KEY_ENTER] && !run->enter_used;

  if (key[KEY_UP] && run->item > 0) {
    if (!run->wait_flag) {
      run->item--;
      run->wait_flag = true;
    }
  } else if (key[KEY_DOWN] && run->item < run->bottom_of_list) {
    if (!run->wait_flag) {
      run->item++;
      run->wait_flag = true;
    }
  }

  if (menu_handle == 0) {
    if (enter) {
      switch (run->item) {
        case 0: menu_handle = 1; run->item = 1; break;
        case 1: menu_handle = 2; run->item = 1; break;
        case 2: program_state = 3; run->done_menu = true; break;
      }
      run->enter_used = true;
    }
    return;
  }

  // F5 types no character, so it can pick a chat found whatever is highlighted.
  if (menu_handle == 2 && key[KEY_F5] && !run->f5_down)
    finder_pick_next();
  run->f5_down = key[KEY_F5] != 0;

  int *colour = &menupar[menu_handle - 1];
  bool on_colour = run->item == COLOR_ITEM(menu_handle);

  if (key[KEY_LEFT] && !run->wait_flag) {
    if (on_colour) {
      if (*colour > 0)
        (*colour)--;
      run->wait_flag = true;
    }
  } else if (key[KEY_RIGHT] && !run->wait_flag) {
    if (on_colour) {
      if (*colour < 255)
        (*colour)++;
      run->wait_flag = true;
    }
  } else if (enter) {
    if (run->item == 0 && strlen(screen_name()) < NAME_MIN) {
      name_refused = true;
      run->enter_used = true;
    } else if (run->item == 0) {
      name_refused = false;
      run->done_menu = true;
      super_chat_type = menu_handle;
      program_state = 2;
      loading_flag = true;
      run->enter_used = true;
    } else if (run->item == CANCEL_ITEM(menu_handle)) {
      name_refused = false;
      menu_handle = 0;
      run->item = 1;
      run->enter_used = true;
    }
  }
}

// The KEY field shows a star for each character; a long key's stars move
// closer together so that all of them stay inside the field's box.
static void draw_stars(size_t count, int x, int y, FONT *font_5)
{
  const int room = 216, width = text_length(font_5, "*");
  int pitch = count * width > (size_t)room ? room / (int)count : width;
  for (size_t i = 0; i < count; i++)
    textout_ex(buffer, font_5, "*", x + (int)i * pitch, y, FIELD_COLOR, -1);
}

// Draws the items of one screen, and the box, typing and text of the
// highlighted field.
static void draw_items(const char **items, int count, int item, FONT *font_5)
{
  const int base_x = frame_w() / 4;

  for (int i = 0; i < count; i++) {
    int y = 100 + 50 * i;
    textout_ex(buffer, font_5, items[i], base_x, y, i == item ? HIGHLIGHT_COLOR : ITEM_COLOR, -1);

    int width = 0;
    char *field = i == item ? field_of(i, &width) : NULL;
    if (field) {
      rect(buffer, base_x + 200, y, base_x + 420, y + 30, ITEM_COLOR);
      get_keyboard_input(field, width - 1, 0);
      // A text wider than its box scrolls: its end, where typing goes on,
      // stays in sight.
      const char *shown = field;
      while (shown[0] && shown[1] && text_length(font_5, shown) > 218)
        shown++;
      if (field == chat_key)
        draw_stars(strlen(chat_key), base_x + 200, y, font_5);
      else
        textout_ex(buffer, font_5, shown, base_x + 200, y, FIELD_COLOR, -1);
    }
  }
}

// The chats that answered on this network, above START in the small font:
// the heading and every chat the list holds fit between "Loading..." and START.
#define FOUND_Y     18
#define FOUND_STEP   9
static void draw_chats_found(int x)
{
  char line[80];
  int colour;
  for (int i = 0; FOUND_Y + FOUND_STEP * i + 8 <= 100 && (colour = finder_line(i, line, sizeof line)) >= 0; i++)
    textout_ex(buffer, font, line, x, FOUND_Y + FOUND_STEP * i, colour, -1);
}

// How friends find the host over IPv6, below the host screen's items.
static void draw_host_note(int x)
{
  int port = atoi(port_num);
  if (port <= 0 || port > 65535)
    port = 24785;
  textout_ex(buffer, font, "Friends join by this machine's address;", x, 400, ITEM_COLOR, -1);
  textout_ex(buffer, font, "over IPv6: ip -6 addr show scope global", x, 410, ITEM_COLOR, -1);
  textprintf_ex(buffer, font, x, 420, ITEM_COLOR, -1, "A firewall must let UDP %d in, for IPv6 too.", port);
}

void show_menu(int item)
{
  const int base_x = frame_w() / 4;
  FONT *font_5 = (FONT *)data[MENU_FONT].dat;

  clear_to_color(buffer, 0);
  blit(background, buffer, 0, 0, 0, 0, frame_w(), frame_h());

  switch (menu_handle) {
    case 0:
      draw_items(main_menu, 3, item, font_5);
      break;
    case 1:
      draw_items(host_menu, 6, item, font_5);
      pick_color = menupar[0];
      textout_ex(buffer, font_5, "Text Color", base_x + 250, 100 + 50 * COLOR_ITEM(1), pick_color, -1);
      draw_host_note(base_x);
      break;
    case 2:
      draw_items(client_menu, 7, item, font_5);
      pick_color = menupar[1];
      textout_ex(buffer, font_5, "Text Color", base_x + 250, 100 + 50 * COLOR_ITEM(2), pick_color, -1);
      draw_chats_found(base_x);
      break;
  }

  if (name_refused && menu_handle != 0 && strlen(screen_name()) < NAME_MIN)
    textout_ex(buffer, font, name_note, base_x + 200, 100 + 50 * 1 + 34, HIGHLIGHT_COLOR, -1);

  if (loading_flag)
    textout_ex(buffer, font_5, "Loading...", base_x + 250, 1, pick_color, -1);

  present_frame(buffer);
}

void menu_interface()
{
  menu_run run;

  menu_start(&run);
  // Transparent text for the rest of the program: the chat's texts rely on
  // it. This menu passes the same -1 to each textout_ex call itself.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  text_mode(-1);
#pragma GCC diagnostic pop
  show_menu(run.item);

  while (!run.done_menu) {
    wait_for_tick();
    while (speed_counter > 0) {
      menu_step(&run);
      finder_step(menu_handle == 2 && !run.done_menu, discovery_clock_ms());
      speed_counter--;
    }
    show_menu(run.item);
  }
  finder_close();
  loading_flag = false;
}
