// Conns that never reach the network library, for running the chat's rules
// in tests: what the chat sends is recorded, what it receives is queued by
// the test. Install fake_net_ops as chat_net_ops.
#ifndef CHAT_FAKE_CONNS_H
#define CHAT_FAKE_CONNS_H

#include <deque>
#include <vector>

#include "network.h"

struct FakeConn {
  NET_CONN conn{};  // the chat holds &conn; its `data` points back here
  std::deque<std::vector<char>> inbox;         // messages waiting to be received
  std::vector<std::vector<char>> sent;         // every message sent, in order
  bool closed = false;
  int silence = 0;  // what the conn figures say of the peer's silence, ms
  long keepalives = 1;  // keep-alives heard from the peer
  int dead = 0;  // the conn counts its peer as gone
  int proved = 0;  // the peer proved that it receives at its address
  long room = 1L << 30;  // sends taken before the window is full; each takes one
  // Listening conn: one datagram per poll, a conn's connect request or
  // junk (nullptr); what poll_listen hands out for each.
  std::deque<NET_CONN *> requests;
  int polls = 0;
};

// The chat's conn operations over FakeConns (each conn's `data` points to
// its FakeConn).
extern const chat_net fake_net_ops;

#endif
