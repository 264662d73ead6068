// The record of callbacks through which the core tells what happened.
#include <stddef.h>
#include "events.h"

chat_events chat_out = {
  NULL,  /* line */
  NULL,  /* users_changed */
  NULL,  /* background */
  NULL,  /* alert */
  NULL,  /* sound */
  NULL,  /* ended */
};

void out_line(const char *who, int color, const char *text)
{
  if (chat_out.line)
    chat_out.line(who, color, text);
}

void out_users_changed()
{
  if (chat_out.users_changed)
    chat_out.users_changed();
}

void out_background(int seed)
{
  if (chat_out.background)
    chat_out.background(seed);
}

void out_alert(int who)
{
  if (chat_out.alert)
    chat_out.alert(who);
}

void out_sound(int cue)
{
  if (chat_out.sound)
    chat_out.sound(cue);
}

void out_ended(const char *reason)
{
  if (chat_out.ended)
    chat_out.ended(reason);
}
