// show_menu's frame: where each screen puts its texts and in which colours,
// and which field takes the typed keys. Drawn into a memory "screen" behind
// a stand-in graphics driver that only names the 640 x 480 size (or a
// scaled window's).
#include <allegro.h>
#include <gtest/gtest.h>
#include <string.h>
#include <algorithm>
#include <vector>
#include "data.h"
#include "main.h"
#include "menu.h"
#include "scale.h"
#include "seal.h"

namespace {

class MenuFrame : public ::testing::Test {
protected:
  static void SetUpTestSuite()
  {
    data = load_datafile(YAMMER_DATA_DAT);
    ASSERT_NE(data, nullptr) << YAMMER_DATA_DAT;
  }
  static void TearDownTestSuite()
  {
    unload_datafile(data);
    data = NULL;
  }

  void SetUp() override
  {
    memset(&fake_gfx, 0, sizeof fake_gfx);
    fake_gfx.w = 640;
    fake_gfx.h = 480;
    gfx_driver = &fake_gfx;
    set_color_depth(8);
    screen = create_bitmap(640, 480);
    buffer = create_bitmap(640, 480);
    background = create_bitmap(640, 480);
    clear_to_color(background, 0);
    clear_to_color(screen, 7);  // a frame must cover it all
    clear_keybuf();
    menupar[0] = 5;
    menupar[1] = 5;
    loading_flag = false;
    host_name[0] = client_name[0] = ip_addy[0] = port_num[0] = 0;
  }
  void TearDown() override
  {
    clear_keybuf();
    destroy_bitmap(screen);
    destroy_bitmap(buffer);
    destroy_bitmap(background);
    screen = buffer = background = NULL;
    gfx_driver = NULL;
    menu_handle = 0;
    loading_flag = false;
  }

  // Pixels of `text` drawn in the menu font at (x, y) that are not `colour`
  // on the screen; 0 when the text is there exactly.
  static int mismatch(int x, int y, const char *text, int colour, FONT *f = NULL)
  {
    if (!f)
      f = (FONT *)data[MENU_FONT].dat;
    BITMAP *mask = create_bitmap(text_length(f, text), text_height(f));
    clear_to_color(mask, 0);
    textout_ex(mask, f, text, 0, 0, 1, -1);
    int bad = 0;
    for (int j = 0; j < mask->h; j++)
      for (int i = 0; i < mask->w; i++)
        if (getpixel(mask, i, j) == 1)
          bad += getpixel(screen, x + i, y + j) != colour;
    destroy_bitmap(mask);
    return bad;
  }

  // Colours found in the screen's rectangle (x, y, w, h), as a 256-bit set.
  static std::vector<bool> colours(int x, int y, int w, int h)
  {
    std::vector<bool> seen(256);
    for (int j = y; j < y + h; j++)
      for (int i = x; i < x + w; i++)
        seen[getpixel(screen, i, j)] = true;
    return seen;
  }

  GFX_DRIVER fake_gfx;
};

TEST_F(MenuFrame, JoinScreenLayoutAndColourSample)
{
  menu_handle = 2;
  menupar[0] = 40;
  menupar[1] = 77;
  strcpy(client_name, "alice");
  strcpy(ip_addy, "10.0.0.1");
  show_menu(2);

  const char *labels[] = { "START", "NAME", "HOST IP", "PORT", "KEY", "TEXT COLOR", "CANCEL" };
  for (int i = 0; i < 7; i++)
    EXPECT_EQ(mismatch(160, 100 + 50 * i, labels[i], i == 2 ? 12 : 15), 0) << labels[i];

  // Only the highlighted field shows its box and its text.
  EXPECT_EQ(mismatch(360, 200, "10.0.0.1", 255), 0);
  EXPECT_EQ(getpixel(screen, 360, 230), 15);
  EXPECT_EQ(getpixel(screen, 580, 200), 15);
  EXPECT_EQ(getpixel(screen, 581, 200), 0);
  std::vector<bool> name_line = colours(360, 150, 221, 31);
  EXPECT_TRUE(name_line[0]);
  EXPECT_EQ(std::count(name_line.begin(), name_line.end(), true), 1) << "NAME shows its text";

  // The join screen's colour is the one in force, shown beside TEXT COLOR.
  EXPECT_EQ(pick_color, 77);
  EXPECT_EQ(mismatch(410, 350, "Text Color", 77), 0);
  EXPECT_FALSE(colours(0, 0, 640, 100)[77]) << "no \"Loading...\" before START";
  EXPECT_FALSE(colours(0, 0, 640, 480)[7]) << "the frame covers the whole screen";

  // The longest IPv6 text scrolls within its box: its end is in sight and
  // nothing is drawn past the box.
  strcpy(ip_addy, "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255");
  ASSERT_EQ(strlen(ip_addy), (size_t)IP_ADDY_SIZE - 1);
  show_menu(2);
  EXPECT_FALSE(colours(581, 200, 59, 31)[255]);
  EXPECT_TRUE(colours(550, 200, 30, 31)[255]) << "the text reaches to the box's end";

  // The host screen puts its sample on its own TEXT COLOR line.
  menu_handle = 1;
  show_menu(4);
  EXPECT_EQ(pick_color, 40);
  EXPECT_EQ(mismatch(410, 300, "Text Color", 40), 0);
  EXPECT_EQ(mismatch(160, 300, "TEXT COLOR", 12), 0);
}

TEST_F(MenuFrame, LoadingIsShownInTheColourInForce)
{
  menu_handle = 1;
  menupar[0] = 99;
  loading_flag = true;
  show_menu(0);
  EXPECT_EQ(mismatch(410, 1, "Loading...", 99), 0);
}

TEST_F(MenuFrame, RefusedStartShowsTheNameNoteUntilTheNameIsLongEnough)
{
  const char *note = "Type a name of 2 to 9 characters";
  menu_run run;
  menu_start(&run);
  menu_handle = 2;
  run.item = 0;
  strcpy(client_name, "A");
  show_menu(0);
  EXPECT_NE(mismatch(360, 184, note, 12, font), 0) << "no note before START";
  key[KEY_ENTER] = 1;
  menu_step(&run);
  key[KEY_ENTER] = 0;
  show_menu(0);
  EXPECT_EQ(mismatch(360, 184, note, 12, font), 0);
  strcpy(client_name, "Al");
  show_menu(0);
  EXPECT_NE(mismatch(360, 184, note, 12, font), 0);
}

TEST_F(MenuFrame, KeysGoOnePerFrameToTheHighlightedFieldOnly)
{
  menu_handle = 1;
  simulate_keypress('4');
  simulate_keypress('2');
  show_menu(4);  // TEXT COLOR: no field polls, the keys stay queued
  EXPECT_TRUE(keypressed());
  show_menu(2);
  EXPECT_STREQ(port_num, "4");
  show_menu(2);
  EXPECT_STREQ(port_num, "42");
  EXPECT_STREQ(host_name, "");
  EXPECT_EQ(mismatch(360, 200, "42", 255), 0);

  // The join screen edits the same PORT text.
  menu_handle = 2;
  show_menu(3);
  EXPECT_EQ(mismatch(360, 250, "42", 255), 0);

  // KEY, shared too, shows a star for each character and never the text;
  // all 40 of a long key stay inside the box.
  simulate_keypress('k');
  simulate_keypress('y');
  show_menu(4);
  show_menu(4);
  EXPECT_STREQ(chat_key, "ky");
  EXPECT_EQ(mismatch(360, 300, "**", 255), 0);
  menu_handle = 1;
  memset(chat_key, 'x', KEY_TEXT_SIZE - 1);
  show_menu(3);
  EXPECT_TRUE(colours(555, 250, 9, 16)[255]) << "the last star";
  EXPECT_FALSE(colours(565, 250, 75, 30)[255]);
  memset(chat_key, 0, KEY_TEXT_SIZE);
}

TEST_F(MenuFrame, AScaledWindowShowsTheSameFrameEachPixelNTimesN)
{
  menu_handle = 1;
  strcpy(host_name, "alice");
  show_menu(1);
  BITMAP *frame = create_bitmap(640, 480);
  blit(screen, frame, 0, 0, 0, 0, 640, 480);
  destroy_bitmap(screen);
  for (int n = 2; n <= SCALE_MAX; n++) {
    fake_gfx.w = 640 * n;
    fake_gfx.h = 480 * n;
    screen_scale = n;
    screen = create_bitmap(640 * n, 480 * n);
    clear_to_color(screen, 7);
    show_menu(1);
    EXPECT_EQ(160, frame_w() / 4) << "the layout is the 640 x 480 one";
    int bad = 0;
    for (int y = 0; y < 480 * n; y++)
      for (int x = 0; x < 640 * n; x++)
        bad += getpixel(screen, x, y) != getpixel(frame, x / n, y / n);
    EXPECT_EQ(0, bad) << "scale " << n;
    destroy_bitmap(screen);
  }
  screen_scale = 1;
  screen = create_bitmap(640, 480);  // for TearDown
  destroy_bitmap(frame);
}

}  // namespace
