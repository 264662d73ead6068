// The log's scrollback store and view, without a screen: what the ring
// keeps and drops, that its memory stays flat, and how the view pages.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <memory>
#include <string>
#include "scrollback.h"

namespace {

struct Store {
  Store() : sb(new scrollback_t) { scrollback_clear(sb.get()); }
  void post(long n)
  {
    for (long i = 0; i < n; i++) {
      char text[24];
      snprintf(text, sizeof text, "line %ld", sb->total);
      scrollback_add(sb.get(), "who", (int)(sb->total % 256), text);
    }
  }
  std::unique_ptr<scrollback_t> sb;
};

TEST(Scrollback, KeepsTheLatest2000InFlatMemoryAndCountsTheDropped)
{
  Store s;
  s.post(SCROLLBACK_LINES);
  size_t after_first = scrollback_bytes(s.sb.get());
  EXPECT_EQ(0, s.sb->first);
  ASSERT_NE(nullptr, scrollback_get(s.sb.get(), 0));
  EXPECT_STREQ("line 0", scrollback_get(s.sb.get(), 0)->text);

  s.post(100000 - SCROLLBACK_LINES);
  EXPECT_LE(scrollback_bytes(s.sb.get()), after_first + 1024 * 1024);
  EXPECT_EQ(after_first, scrollback_bytes(s.sb.get()));
  EXPECT_EQ(100000, s.sb->total);
  EXPECT_EQ(100000 - SCROLLBACK_LINES, s.sb->first) << "the dropped are counted";
  EXPECT_EQ(nullptr, scrollback_get(s.sb.get(), s.sb->first - 1));
  EXPECT_EQ(nullptr, scrollback_get(s.sb.get(), s.sb->total));
  const scrollback_line_t *last = scrollback_get(s.sb.get(), 99999);
  ASSERT_NE(nullptr, last);
  EXPECT_STREQ("line 99999", last->text);
  EXPECT_EQ(99999 % 256, last->color);
  EXPECT_STREQ("line 98000", scrollback_get(s.sb.get(), 98000)->text);

  // A line longer than its field is cut, never written past it.
  scrollback_add(s.sb.get(), std::string(200, 'w').c_str(), 1, std::string(200, 't').c_str());
  EXPECT_EQ((size_t)SCROLLBACK_TEXT - 1, strlen(scrollback_get(s.sb.get(), 100000)->who));
  EXPECT_EQ((size_t)SCROLLBACK_TEXT - 1, strlen(scrollback_get(s.sb.get(), 100000)->text));
}

TEST(ScrollView, PagesBackAndForwardAroundTheLivePage)
{
  Store s;
  s.post(100);
  long live_first = 90;  // the live page holds lines 90-99
  scroll_view_t v;
  scroll_view_live(&v);
  char note[64];

  // Forward from live does nothing; back shows the page before the live one.
  EXPECT_EQ(0, scroll_view_move(&v, s.sb.get(), SCROLLBACK_PAGE, live_first));
  EXPECT_TRUE(v.live);
  EXPECT_EQ(1, scroll_view_move(&v, s.sb.get(), -SCROLLBACK_PAGE, live_first));
  EXPECT_FALSE(v.live);
  EXPECT_EQ(65, v.top);
  scroll_view_note(&v, s.sb.get(), live_first, note, sizeof note);
  EXPECT_STREQ("-1 page, 0 new, End returns", note);

  // New lines and a new live page leave the view where it is; the note counts.
  s.post(12);
  live_first = 110;
  scroll_view_note(&v, s.sb.get(), live_first, note, sizeof note);
  EXPECT_STREQ("-2 pages, 12 new, End returns", note);
  EXPECT_EQ(65, v.top);

  // Home stops at the oldest line; PgUp there changes nothing.
  EXPECT_EQ(1, scroll_view_home(&v, s.sb.get(), live_first));
  EXPECT_EQ(0, v.top);
  EXPECT_EQ(0, scroll_view_move(&v, s.sb.get(), -SCROLLBACK_PAGE, live_first));
  scroll_view_note(&v, s.sb.get(), live_first, note, sizeof note);
  EXPECT_STREQ("-5 pages, 12 new, End returns", note);

  // Forward a page at a time reaches the live page and stops there.
  int moves = 0;
  while (!v.live && moves < 10)
    moves += scroll_view_move(&v, s.sb.get(), SCROLLBACK_PAGE, live_first);
  EXPECT_EQ(5, moves);

  // The wheel's three lines; nothing older than the live page: stays live.
  EXPECT_EQ(1, scroll_view_move(&v, s.sb.get(), -3, live_first));
  EXPECT_EQ(107, v.top);
  scroll_view_live(&v);
  EXPECT_EQ(0, scroll_view_move(&v, s.sb.get(), -3, s.sb->first));
  EXPECT_EQ(0, scroll_view_home(&v, s.sb.get(), s.sb->first));
  EXPECT_TRUE(v.live);

  // A ring that dropped the lines shown moves the view onto the oldest kept.
  scroll_view_home(&v, s.sb.get(), live_first);
  s.post(SCROLLBACK_LINES);
  EXPECT_EQ(1, scroll_view_clamp(&v, s.sb.get()));
  EXPECT_EQ(s.sb->first, v.top);
}

}  // namespace
