// Test helper: draws a text with the program's own fonts into a memory
// bitmap and writes which pixels it set, so that screenshots can be checked
// against exactly what Allegro draws.
//
//   yl_textmask DATA.DAT FONT TEXT   P5 PGM on stdout, 255 where the text
//                                    sets a pixel, 0 elsewhere; FONT is a
//                                    datafile index or "default" (Allegro's
//                                    built-in 8x8 font)
//   yl_textmask --palette            256 lines "r g b": the default palette
//                                    as an 8-bit mode shows it on a
//                                    true-colour X display
#include <allegro.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int print_palette()
{
  for (int i = 0; i < 256; i++)
    printf("%d %d %d\n", _rgb_scale_6[default_palette[i].r], _rgb_scale_6[default_palette[i].g],
           _rgb_scale_6[default_palette[i].b]);
  return 0;
}

static int print_mask(const char *path, const char *which, const char *text)
{
  DATAFILE *dat = NULL;
  FONT *f = font;

  if (strcmp(which, "default") != 0) {
    dat = load_datafile(path);
    if (!dat) {
      fprintf(stderr, "yl_textmask: cannot load %s\n", path);
      return 1;
    }
    int index = atoi(which), count = 0;
    while (dat[count].type != DAT_END)
      count++;
    if (index < 0 || index >= count || dat[index].type != DAT_FONT) {
      fprintf(stderr, "yl_textmask: object %s of %s is no font\n", which, path);
      return 1;
    }
    f = (FONT *)dat[index].dat;
  }

  int w = text_length(f, text), h = text_height(f);
  BITMAP *bmp = create_bitmap_ex(8, w > 0 ? w : 1, h);
  clear_to_color(bmp, 0);
  textout_ex(bmp, f, text, 0, 0, 1, -1);

  printf("P5\n%d %d\n255\n", w, h);
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++)
      putchar(getpixel(bmp, x, y) == 1 ? 255 : 0);

  destroy_bitmap(bmp);
  if (dat)
    unload_datafile(dat);
  return 0;
}

int main(int argc, char **argv)
{
  if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
    return 1;
  if (argc == 2 && strcmp(argv[1], "--palette") == 0)
    return print_palette();
  if (argc == 4)
    return print_mask(argv[1], argv[2], argv[3]);
  fprintf(stderr, "usage: yl_textmask DATA.DAT FONT TEXT | yl_textmask --palette\n");
  return 2;
}
END_OF_MAIN()
