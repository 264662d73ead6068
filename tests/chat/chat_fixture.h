// Shared pieces of the chat unit tests: Allegro without a screen, fake conns
// the chat's rules send to and receive from, and the chat's trace read back.
#ifndef CHAT_FIXTURE_H
#define CHAT_FIXTURE_H

#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "chat_it.h"
#include "fake_conns.h"
#include "network.h"
#include "rules.h"

#include "test_port.h"

// A chat packet as the wire carries it: 1024 bytes, id, byte fields, text.
std::vector<char> packet(const char *id, std::vector<int> bytes = {}, const char *text = nullptr);
// The id of a sent packet, and its i-th byte field (signed) and text.
std::string id_of(const std::vector<char> &p);
int byte_of(const std::vector<char> &p, int i);
std::string text_of(const std::vector<char> &p, int nbytes);

// A chat with fake conns and a trace file; screen bitmaps without a screen.
class ChatTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Host side: makes `n` accepted client conns.
  void accept_clients(int n);
  // Client side: the conn to the host.
  void connect_client();
  // Host side: the listening conn.
  void listen();
  // Delivers `p` on client conn `i` and lets the host handle it.
  void host_gets(int i, const std::vector<char> &p);
  // Delivers `p` from the host and lets the client handle it.
  void client_gets(const std::vector<char> &p);

  // Trace lines since the last call, without their time field:
  // "post 5 who: text", "sound 6".
  std::vector<std::string> events();

  FakeConn fakes[MAX_CLIENTS];
  FakeConn host;
  FakeConn listener;  // listen_conn, once listen() has made it so
  std::string trace_path;
  long trace_seen = 0;
  chat_net saved_ops;
};

#endif
