// get_keyboard_input, fed through Allegro's own key buffer.
#include <allegro.h>
#include <gtest/gtest.h>
#include <string.h>
#include "effects.h"

namespace {

class LineInput : public ::testing::Test {
protected:
  void SetUp() override { clear_keybuf(); }
  void TearDown() override
  {
    // key_delay is shared by all callers for the life of the process: run
    // it down so that no test leaves a throttle behind for the next.
    char scratch[4] = "";
    for (int i = 0; i < 50; i++)
      get_keyboard_input(scratch, 3, 1);
    clear_keybuf();
  }

  static void keys(const char *text)
  {
    for (const char *c = text; *c; c++)
      simulate_keypress((unsigned char)*c);
  }

  char words[16] = "";
};

TEST_F(LineInput, TakesOneKeyPerCallInTypedOrder)
{
  keys("abc");
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "a");
  get_keyboard_input(words, 9, 0);
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "abc");
  EXPECT_FALSE(keypressed());

  // An empty buffer returns at once and changes nothing.
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "abc");
}

TEST_F(LineInput, KeepsOnlyTheCharacterCode)
{
  simulate_keypress((KEY_A << 8) | 'a');
  simulate_keypress((KEY_UP << 8) | 0);  // a cursor key has no character
  simulate_keypress((KEY_TAB << 8) | 9);
  for (int i = 0; i < 3; i++)
    get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "a\t");
  EXPECT_FALSE(keypressed());
}

TEST_F(LineInput, FullTextDropsAndConsumesTheKey)
{
  strcpy(words, "abc");
  keys("d");
  get_keyboard_input(words, 3, 0);
  EXPECT_STREQ(words, "abc");
  EXPECT_FALSE(keypressed());

  // A wider buffer: nine characters fill a ten-byte name field.
  char name[10] = "";
  keys("abcdefghijkl");
  for (int i = 0; i < 12; i++)
    get_keyboard_input(name, 9, 0);
  EXPECT_STREQ(name, "abcdefghi");
}

TEST_F(LineInput, BackspaceShortensAndStopsAtEmpty)
{
  strcpy(words, "abc");
  simulate_keypress((KEY_BACKSPACE << 8) | 8);
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "ab");

  words[0] = 0;
  simulate_keypress((KEY_BACKSPACE << 8) | 8);
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "");
  EXPECT_FALSE(keypressed());
}

TEST_F(LineInput, EnterLineFeedAndEscapeAreDropped)
{
  strcpy(words, "ab");
  simulate_keypress((KEY_ENTER << 8) | 13);
  simulate_keypress(10);
  simulate_keypress((KEY_ESC << 8) | 27);
  for (int i = 0; i < 3; i++)
    get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "ab");
  EXPECT_FALSE(keypressed());
}

TEST_F(LineInput, ThrottleDiscardsKeysStruckDuringTheDelay)
{
  keys("a");
  get_keyboard_input(words, 9, 2);
  EXPECT_STREQ(words, "a");

  // The next two throttled calls empty the buffer before looking at it.
  keys("b");
  get_keyboard_input(words, 9, 2);
  keys("c");
  get_keyboard_input(words, 9, 2);
  EXPECT_STREQ(words, "a");

  keys("d");
  get_keyboard_input(words, 9, 2);
  EXPECT_STREQ(words, "ad");
}

TEST_F(LineInput, PlainCallersIgnoreAPendingThrottle)
{
  keys("a");
  get_keyboard_input(words, 9, 3);
  keys("b");
  get_keyboard_input(words, 9, 0);
  EXPECT_STREQ(words, "ab");
}

}  // namespace
