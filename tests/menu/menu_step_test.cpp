// The menu's logic step, driven through Allegro's `key` array.
#include <allegro.h>
#include <gtest/gtest.h>
#include "main.h"
#include "menu.h"

namespace {

class MenuStep : public ::testing::Test {
protected:
  void SetUp() override
  {
    release_all();
    menupar[0] = menupar[1] = 5;
    super_chat_type = 1;
    program_state = 1;
    loading_flag = false;
    menu_start(&run);
  }
  void TearDown() override { release_all(); }

  static void release_all()
  {
    for (int k = 0; k < KEY_MAX; k++)
      key[k] = 0;
  }

  void steps(int n)
  {
    for (int i = 0; i < n; i++)
      menu_step(&run);
  }

  // Holds `k` for `n` steps.
  void hold(int k, int n)
  {
    key[k] = 1;
    steps(n);
    key[k] = 0;
  }

  // One press of ENTER: down for a step, then up for a step.
  void enter()
  {
    hold(KEY_ENTER, 1);
    steps(1);
  }

  // Lets the repeat control run out so the next arrow acts at once.
  void settle() { steps(MENU_REPEAT_TICKS); }

  void go_to_screen(int handle)
  {
    settle();
    if (handle == 1)
      hold(KEY_UP, 1);
    enter();
    ASSERT_EQ(menu_handle, handle);
    settle();
  }

  menu_run run;
};

TEST_F(MenuStep, StartsOnMainScreenWithJoinHighlighted)
{
  menu_handle = 2;
  menu_start(&run);
  EXPECT_EQ(menu_handle, 0);
  EXPECT_EQ(run.item, 1);
  EXPECT_TRUE(run.wait_flag);
  EXPECT_FALSE(run.done_menu);
}

TEST_F(MenuStep, ArrowsWaitFourStepsAfterStartThenActOncePerFive)
{
  key[KEY_UP] = 1;
  steps(4);
  EXPECT_EQ(run.item, 1);
  steps(1);
  EXPECT_EQ(run.item, 0);

  key[KEY_UP] = 0;
  key[KEY_DOWN] = 1;
  steps(4);
  EXPECT_EQ(run.item, 0);
  steps(1);
  EXPECT_EQ(run.item, 1);
  steps(5);
  EXPECT_EQ(run.item, 2);
}

TEST_F(MenuStep, HighlightStopsAtBothEndsWithoutWrapping)
{
  hold(KEY_DOWN, 40);
  EXPECT_EQ(run.item, 2);
  EXPECT_EQ(run.bottom_of_list, 2);
  hold(KEY_UP, 40);
  EXPECT_EQ(run.item, 0);

  // UP wins when both are down.
  settle();
  run.item = 1;
  key[KEY_DOWN] = 1;
  hold(KEY_UP, 1);
  EXPECT_EQ(run.item, 0);
}

TEST_F(MenuStep, HeldDownOnHostScreenWalksToCancelAndStops)
{
  go_to_screen(1);
  EXPECT_EQ(run.item, 1);
  key[KEY_DOWN] = 1;
  int seen[6] = { 0, 0, 0, 0, 0, 0 };
  for (int i = 0; i < 60; i++) {
    steps(1);
    seen[run.item]++;
  }
  EXPECT_EQ(run.item, 5);
  EXPECT_EQ(run.bottom_of_list, 5);
  EXPECT_EQ(seen[2], 5);  // one item per 5 steps
  EXPECT_EQ(seen[3], 5);
}

TEST_F(MenuStep, ColourClampsAtZeroAnd255)
{
  go_to_screen(1);
  run.item = 4;
  hold(KEY_LEFT, 5);
  EXPECT_EQ(menupar[0], 4);  // the first step acts, the next four wait
  hold(KEY_LEFT, 5 * 10);
  EXPECT_EQ(menupar[0], 0);
  EXPECT_EQ(menupar[1], 5);

  settle();
  hold(KEY_RIGHT, 5 * 300);
  EXPECT_EQ(menupar[0], 255);

  // The join screen keeps its own colour.
  settle();
  run.item = 5;
  enter();
  ASSERT_EQ(menu_handle, 0);
  go_to_screen(2);
  run.item = 5;
  hold(KEY_LEFT, 5 * 8);
  EXPECT_EQ(menupar[1], 0);
  EXPECT_EQ(menupar[0], 255);
}

TEST_F(MenuStep, LeftAndRightAwayFromColourChangeNothing)
{
  go_to_screen(2);
  for (int item : { 0, 1, 2, 3, 4, 6 }) {
    run.item = item;
    hold(KEY_LEFT, 10);
    hold(KEY_RIGHT, 10);
    EXPECT_EQ(menupar[1], 5);
    EXPECT_FALSE(run.wait_flag);
    EXPECT_EQ(run.item, item);
  }
  // On the main screen they do nothing either.
  menu_start(&run);
  settle();
  hold(KEY_LEFT, 10);
  hold(KEY_RIGHT, 10);
  EXPECT_EQ(run.item, 1);
  EXPECT_EQ(menupar[0], 5);
}

TEST_F(MenuStep, MainScreenTransitions)
{
  run.item = 0;
  enter();
  EXPECT_EQ(menu_handle, 1);
  EXPECT_EQ(run.item, 1);

  menu_start(&run);
  enter();
  EXPECT_EQ(menu_handle, 2);
  EXPECT_EQ(run.item, 1);
  EXPECT_FALSE(run.done_menu);
  EXPECT_EQ(program_state, 1);

  menu_start(&run);
  run.item = 2;
  enter();
  EXPECT_TRUE(run.done_menu);
  EXPECT_EQ(program_state, 3);
  EXPECT_FALSE(loading_flag);
}

TEST_F(MenuStep, StartLeavesChatTypeStateAndLoading)
{
  go_to_screen(1);
  run.item = 0;
  enter();
  EXPECT_TRUE(run.done_menu);
  EXPECT_EQ(program_state, 2);
  EXPECT_EQ(super_chat_type, 1);
  EXPECT_TRUE(loading_flag);

  loading_flag = false;
  program_state = 1;
  menu_start(&run);
  go_to_screen(2);
  run.item = 0;
  enter();
  EXPECT_TRUE(run.done_menu);
  EXPECT_EQ(program_state, 2);
  EXPECT_EQ(super_chat_type, 2);
  EXPECT_TRUE(loading_flag);
}

TEST_F(MenuStep, EnterOnFieldsAndColourDoesNothing)
{
  go_to_screen(2);
  for (int item = 1; item <= 5; item++) {
    run.item = item;
    enter();
    EXPECT_EQ(menu_handle, 2);
    EXPECT_EQ(run.item, item);
    EXPECT_FALSE(run.done_menu);
  }
}

TEST_F(MenuStep, CancelReturnsToJoinChatEvenWhenEnterIsHeld)
{
  // A real press lasts several steps; it must not carry on from CANCEL
  // through "JOIN CHAT" into the join screen.
  go_to_screen(1);
  run.item = 5;
  hold(KEY_ENTER, 6);
  EXPECT_EQ(menu_handle, 0);
  EXPECT_EQ(run.item, 1);

  go_to_screen(2);
  run.item = 6;
  hold(KEY_ENTER, 6);
  EXPECT_EQ(menu_handle, 0);
  EXPECT_EQ(run.item, 1);
}

TEST_F(MenuStep, HeldEnterThatChangedNothingActsOnTheNextItem)
{
  // ENTER on NAME does nothing, so it is still live when UP reaches START.
  go_to_screen(1);
  key[KEY_ENTER] = 1;
  steps(3);
  EXPECT_FALSE(run.done_menu);
  hold(KEY_UP, 1);
  EXPECT_EQ(run.item, 0);
  EXPECT_TRUE(run.done_menu);
  EXPECT_EQ(program_state, 2);
  key[KEY_ENTER] = 0;

  // Nor does LEFT on an item other than TEXT COLOR, yet it takes the step
  // ahead of ENTER for as long as it is down; ENTER acts once it is let go.
  loading_flag = false;
  program_state = 1;
  menu_start(&run);
  go_to_screen(2);
  run.item = 0;
  key[KEY_LEFT] = 1;
  key[KEY_ENTER] = 1;
  steps(3);
  EXPECT_FALSE(run.done_menu);
  key[KEY_LEFT] = 0;
  steps(1);
  EXPECT_TRUE(run.done_menu);
  EXPECT_EQ(super_chat_type, 2);
}

TEST_F(MenuStep, EnterHeldIntoTheMenuWaitsForRelease)
{
  key[KEY_ENTER] = 1;
  menu_start(&run);
  steps(10);
  EXPECT_EQ(menu_handle, 0);
  key[KEY_ENTER] = 0;
  steps(1);
  enter();
  EXPECT_EQ(menu_handle, 2);
}

TEST_F(MenuStep, ScreenChangeKeepsTheRepeatState)
{
  settle();
  hold(KEY_UP, 1);  // HOST CHAT; the arrow locks the repeat control
  ASSERT_TRUE(run.wait_flag);
  int wait = run.wait;
  hold(KEY_ENTER, 1);
  EXPECT_EQ(menu_handle, 1);
  EXPECT_TRUE(run.wait_flag);
  EXPECT_EQ(run.wait, wait - 1);
}

}  // namespace
