// The chat screen: log pages and the held line, the change notice, the
// buddy list, window bitmaps; paging back through the kept lines.
#include <allegro.h>
#include <string.h>
#include "chat_fixture.h"
#include "log_scroll.h"
#include "main.h"

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

TEST_F(ChatScreen, LinesArrivingOnAFullPageAllOpenTheNextPagesInOrder)
{
  repaint_log();
  for (int n = 1; n <= 25; n++)
    post_message("who", 3, "line");
  // A join announces several users in one step: none of them may be lost.
  post_message("a", 7, "first");
  post_message("b", 8, "second");
  post_message("c", 9, "third");
  EXPECT_EQ(3, held_messages());
  EXPECT_STREQ("first", held_message());

  repaint_log();
  EXPECT_EQ(0, held_messages());
  EXPECT_EQ(45, y_pos);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 15, 7), 0);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 30, 8), 0);
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 45, 9), 0);
  EXPECT_FALSE(chat_window.re_draw);

  // More than a page waiting fills one page and keeps the rest for the next.
  for (int n = 1; n <= 22; n++)
    post_message("who", 3, "line");
  for (int n = 1; n <= 30; n++)
    post_message("who", 4, "more");
  EXPECT_EQ(30, held_messages());
  repaint_log();
  EXPECT_EQ(5, held_messages());
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 375, 4), 0);
  EXPECT_EQ(0, ink_in_row(chat_window.window_bitmap, 375, 3));
  EXPECT_TRUE(chat_window.re_draw);
  repaint_log();
  EXPECT_EQ(0, held_messages());
  EXPECT_EQ(5 * 15, y_pos);
}

TEST_F(ChatScreen, LinesPostedBeforeTheFirstFrameStayOnThePage)
{
  // A client's first steps run in a burst before its first frame and can
  // take in the host's "New!" and "Join" packets.
  post_message("Server", 3, "early");
  BITMAP *saved_screen = screen;
  screen = create_bitmap(640, 480);
  buffer = create_bitmap(640, 480);
  background = create_bitmap(640, 480);
  draw_chat_frame();
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 15, 3), 0);
  post_message("Server", 4, "later");
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 30, 4), 0);
  destroy_bitmap(screen);
  destroy_bitmap(buffer);
  destroy_bitmap(background);
  screen = saved_screen;
  buffer = background = NULL;
}

TEST_F(ChatScreen, HeldQueueIsBoundedAndKeepsTheNewestLines)
{
  repaint_log();
  for (int n = 1; n <= 25; n++)
    post_message("who", 3, "line");
  char text[16];
  for (int n = 0; n < 400; n++) {
    snprintf(text, sizeof text, "flood %d", n);
    post_message("x", 3, text);
  }
  EXPECT_EQ(250, held_messages());
  EXPECT_STREQ("flood 150", held_message());
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

TEST_F(ChatScreen, PgUpShowsThePageBeforeTheLiveOneUntilEndAndLeavesTheLivePageAlone)
{
  repaint_log();
  long base = log_scroll_store()->total;
  for (int n = 0; n < 30; n++)
    post_message("who", n < 25 ? 3 : 4, "line");
  repaint_log();  // the five held lines open the live page
  EXPECT_EQ(base + 25, log_scroll_live_first());

  BITMAP *saved_screen = screen;
  screen = create_bitmap(640, 480);
  buffer = create_bitmap(640, 480);
  background = create_bitmap(640, 480);
  BITMAP *log_place = create_sub_bitmap(buffer, chat_window.x, chat_window.y, chat_window.width,
                                        chat_window.height);
  // A key down since before the chat acts only once let go; a held key
  // pages once.
  key[KEY_PGUP] = 1;
  log_scroll_keys();
  EXPECT_TRUE(log_scroll_view()->live);
  key[KEY_PGUP] = 0;
  log_scroll_keys();
  key[KEY_PGUP] = 1;
  log_scroll_keys();
  log_scroll_keys();
  key[KEY_PGUP] = 0;
  log_scroll_keys();
  EXPECT_FALSE(log_scroll_view()->live);
  EXPECT_EQ(base, log_scroll_view()->top);
  draw_chat_frame();
  EXPECT_GT(ink_in_row(log_place, 15, 3), 0);
  EXPECT_GT(ink_in_row(log_place, 375, 3), 0);
  EXPECT_EQ(0, ink_in_row(log_place, 15, 4));

  // A new line goes onto the live page, not into the view.
  post_message("late", 9, "arrives");
  draw_chat_frame();
  EXPECT_GT(ink_in_row(chat_window.window_bitmap, 90, 9), 0);
  EXPECT_EQ(0, ink_in_row(log_place, 90, 9));

  key[KEY_END] = 1;
  log_scroll_keys();
  key[KEY_END] = 0;
  draw_chat_frame();
  EXPECT_TRUE(log_scroll_view()->live);
  EXPECT_GT(ink_in_row(log_place, 15, 4), 0);
  EXPECT_GT(ink_in_row(log_place, 90, 9), 0);

  destroy_bitmap(log_place);
  destroy_bitmap(screen);
  destroy_bitmap(buffer);
  destroy_bitmap(background);
  screen = saved_screen;
  buffer = background = NULL;
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
