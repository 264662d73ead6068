// The chat's keys as the logic step reads them from Allegro's key array,
// around a real chat start and end.
#include <allegro.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <chrono>
#include <thread>
#include "chat_fixture.h"
#include "menu.h"

namespace {

class ChatKeys : public testing::Test {
 protected:
  void SetUp() override
  {
    port = claim_test_port(&port_lock);
    ASSERT_GT(port, 0);
    snprintf(port_num, PORT_NUM_SIZE, "%d", port);
    strcpy(host_name, "Hosty");
  }
  void TearDown() override
  {
    key[KEY_ENTER] = 0;
    port_num[0] = 0;
    host_name[0] = 0;
    if (port_lock >= 0)
      close(port_lock);
  }
  // One logic step's keys while Enter is down; Enter comes up 100 ms later,
  // as a person lets go, whether or not the step waits for it.
  void step_with_enter_down()
  {
    key[KEY_ENTER] = 1;
    std::thread release([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      key[KEY_ENTER] = 0;
    });
    chat_key_step(1);
    release.join();
  }
  int port = 0;
  int port_lock = -1;
};

TEST_F(ChatKeys, EnterThatChoseStartSendsNoLineButTheNextPressDoes)
{
  key[KEY_ENTER] = 1;  // still down from START
  ASSERT_EQ(0, chat_start(1));
  step_with_enter_down();
  EXPECT_FALSE(send_flag);

  chat_key_step(1);    // let go
  step_with_enter_down();
  EXPECT_TRUE(send_flag);
  chat_end(1);
}

}  // namespace

namespace {

using ChatEnd = ChatTest;

// A client whose host takes no more lines keeps what was typed.
TEST_F(ChatEnd, ALineTheConnCannotTakeStaysInTheTypingLine)
{
  connect_client();
  connected = true;
  host.room = 0;
  for (int n = 0; n < 16; n++)
    send_packet(server_conn, packet("Mesg", {1}, "queued").data(), OWN_ORIGIN);
  strcpy(user[my_number].typings, "kept");
  auto enter = [] {
    chat_key_step(2);  // Enter up first
    key[KEY_ENTER] = 1;
    std::thread release([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      key[KEY_ENTER] = 0;
    });
    chat_key_step(2);
    release.join();
  };
  enter();
  EXPECT_FALSE(send_flag);
  EXPECT_STREQ("kept", user[my_number].typings);
  host.room = 100;
  backlog_flush();
  enter();
  EXPECT_TRUE(send_flag);
}

TEST_F(ChatEnd, KeysTypedInTheChatDoNotFollowIntoTheMenu)
{
  // Typed ahead of Esc, or while a join waited for the host in vain: none
  // of it is meant for the menu's NAME field that the next screen highlights.
  for (int c : {'q', 'z'})
    simulate_keypress(c);
  ASSERT_TRUE(keypressed());
  chat_end(2);
  EXPECT_FALSE(keypressed());
}

}  // namespace
