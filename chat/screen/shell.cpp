// The process-wide globals of the program shell and its sound helpers.
#include <allegro.h>
#include <stdio.h>
#include "data.h"
#include "shell.h"

DATAFILE *data = NULL;
BITMAP *buffer = NULL;
BITMAP *background = NULL;
bool sound_ok = true;
bool exit_prog = false;
int program_state = 1;

int (*sound_installer)(int digi, int midi, const char *cfg_path) = install_sound;

void start_sound()
{
  if (sound_installer(DIGI_AUTODETECT, MIDI_AUTODETECT, NULL) != 0) {
    printf("Error setting up Sound, so the game will be silent!\n%s\n", allegro_error);
    fflush(stdout);
    sound_ok = false;
  }
}

void play_sound(int index)
{
  if (!sound_ok || !data || data[index].type != DAT_SAMPLE)
    return;
  play_sample((SAMPLE *)data[index].dat, 255, 255, 1000, 0);
}

int datafile_usable(const DATAFILE *dat)
{
  static const struct { int index; int type; } wanted[] = {
    { JOIN_SOUND, DAT_SAMPLE },
    { ALERT_SOUND, DAT_SAMPLE },
    { MENU_FONT, DAT_FONT },
    { MESSAGE_SOUND, DAT_SAMPLE },
  };

  if (!dat)
    return 0;
  int count = 0;
  while (dat[count].type != DAT_END)
    count++;
  for (const auto &w : wanted) {
    if (w.index >= count || dat[w.index].type != w.type || !dat[w.index].dat)
      return 0;
  }
  return 1;
}
