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
  NULL,  /* file_offered */
  NULL,  /* file_progress */
  NULL,  /* file_saved */
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

void out_file_offered(const char *who, const char *name, long long size)
{
  if (chat_out.file_offered)
    chat_out.file_offered(who, name, size);
}

void out_file_progress(int slot, const char *name, long long got, long long size, long ms)
{
  if (chat_out.file_progress)
    chat_out.file_progress(slot, name, got, size, ms);
}

void out_file_saved(const char *path)
{
  if (chat_out.file_saved)
    chat_out.file_saved(path);
}
