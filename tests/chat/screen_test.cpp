// The chat screen: log pages and the held line, the change notice, the
// buddy list, window bitmaps.
#include <allegro.h>
#include <string.h>
#include "chat_fixture.h"

namespace {

// Pixels of `color` in the 8 rows of a text line at y in `bmp`.
int ink_in_row(BITMAP *bmp, int y, int color)
{
  int n = 0;
  for (int j = y; j < y + 8 && j < bmp->h; j++)
    for (int i = 0; i < bmp->w; i++)
      if (getpixel(bmp, i, j) == color)
        n++;
  return n;
}

using ChatScreen = ChatTest;

TEST_F(ChatScreen, PageHoldsTwentyFiveLinesThenTheNextStartsANewPage)
{
  repaint_log();
  for (int n = 1; n <= 25; n++)
    post_message("who", 3, "line");
  EXPECT_EQ(375, y_pos);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 375, 3), 0);
  EXPECT_FALSE(chat_window.re_draw);

  post_message("Server", 0, "twenty-sixth");
  EXPECT_TRUE(chat_window.re_draw);
  ASSERT_NE(nullptr, held_message());
  EXPECT_STREQ("twenty-sixth", held_message());
  EXPECT_EQ(0, ink_in_row(chat_window.window_bitmap, 390, 0));

  repaint_log();
  EXPECT_EQ(nullptr, held_message());
  EXPECT_EQ(15, y_pos);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 15, 0), 0);
  EXPECT_EQ(0, ink_in_row(chat_window.window_bitmap, 30, 3));
  EXPECT_EQ(0, ink_in_row(chat_window.window_bitmap, 375, 3));
  // The held line is one post, however many pages it waited for.
  EXPECT_EQ(26u, events().size());
}

TEST_F(ChatScreen, ChangeNoticeStandsOnTheNewPage)
{
  repaint_log();
  for (int n = 1; n <= 10; n++)
    post_message("who", 3, "line");
  connect_client();
  client_gets(packet("Chng"));
  EXPECT_EQ(15, y_pos);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 15, 0), 0);
  EXPECT_EQ(0, ink_in_row(chat_window.window_bitmap, 30, 3));
  // A line in the same step goes below it, not over it.
  client_gets(packet("Numb", {}, "1"));
  EXPECT_EQ(30, y_pos);
}

TEST_F(ChatScreen, BuddyListShowsTenRowsInColourFive)
{
  strcpy(user[1].name, "Hosty");
  strcpy(user[9].name, "Last");
  clear_to_color(buddy_window.window_bitmap, 15);
  populate_buddy_list();
  EXPECT_EQ(0, ink_in_row(buddy_window.window_bitmap, 10, 5));
  EXPECT_GT(ink_in_row(buddy_window.window_bitmap, 20, 5), 0);
  EXPECT_EQ(0, ink_in_row(buddy_window.window_bitmap, 30, 5));
  EXPECT_GT(ink_in_row(buddy_window.window_bitmap, 100, 5), 0);
}

TEST_F(ChatScreen, WindowBitmapsAreMadeAtStartAndReleasedAtEnd)
{
  EXPECT_NE(nullptr, chat_window.window_bitmap);
  EXPECT_EQ(500, chat_window.window_bitmap->w);
  EXPECT_EQ(100, buddy_window.window_bitmap->w);
  EXPECT_EQ(15, text_box.window_bitmap->h);
  chat_screen_end();
  EXPECT_EQ(nullptr, chat_window.window_bitmap);
  EXPECT_EQ(nullptr, buddy_window.window_bitmap);
  EXPECT_EQ(nullptr, text_box.window_bitmap);
  // Lines posted with no chat screen are traced and drawn nowhere.
  post_message("a", 1, "b");
  EXPECT_EQ(std::vector<std::string>({"post 1 a: b"}), events());
}

}  // namespace
