// Fuzz target: the input as chat packets into the host's rules, over ten
// fake client conns of which the input closes some windows, or into the
// client's rules. After each packet the tables hold (names terminated,
// numbers within the table, no number on two conns), and everything sent
// is a whole chat packet with nothing after its content.
#include <allegro.h>
#include <string.h>

#include "chat_it.h"
#include "fake_conns.h"
#include "packet.h"
#include "rules.h"
#include "target.h"

namespace {

FakeConn fakes[MAX_CLIENTS];
FakeConn host;

void check_sent(FakeConn &f)
{
  for (const std::vector<char> &p : f.sent) {
    FUZZ_CHECK(p.size() == PACKET_SIZE);
    for (size_t i = PACKET_CLEAR; i < p.size(); i++) FUZZ_CHECK(p[i] == 0);
  }
  f.sent.clear();
}

void check_tables()
{
  for (const the_user &u : user) {
    FUZZ_CHECK(strnlen(u.name, USER_NAME) < USER_NAME);
    FUZZ_CHECK(strnlen(u.typings, USER_TYPINGS) < USER_TYPINGS);
  }
  FUZZ_CHECK(my_number >= 0 && my_number < MAX_USERS);
  FUZZ_CHECK(user_num >= 1 && user_num < MAX_USERS);
  for (int i = 0; i < client_num; i++) {
    FUZZ_CHECK(client_user[i] >= 0 && client_user[i] < MAX_USERS && client_user[i] != 1);
    for (int j = 0; j < i; j++) FUZZ_CHECK(client_user[i] == 0 || client_user[i] != client_user[j]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  install_allegro(SYSTEM_NONE, &errno, atexit);
  set_color_depth(8);
  chat_net_ops = fake_net_ops;
  chat_screen_start();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  Input in(data, size);
  bool hosting = in.byte() & 1;
  memset(user, 0, sizeof user);
  my_number = user_num = 1;
  rules_reset();
  send_flag = connected = false;
  Packet("New!");  // the codec reads nothing until a packet was built
  memset(packetbuffer, 0, sizeof packetbuffer);
  for (int i = 0; i < MAX_CLIENTS; i++) {
    fakes[i] = FakeConn();
    fakes[i].conn.data = &fakes[i];
    client_conn[i] = &fakes[i].conn;
  }
  client_num = hosting ? MAX_CLIENTS : 0;
  host = FakeConn();
  host.conn.data = &host;
  server_conn = hosting ? NULL : &host.conn;
  strcpy(user[1].name, "Hosty");

  for (int round = 0; round < 500 && in.left(); round++) {
    int conn = in.byte();
    std::vector<unsigned char> bytes = in.bytes(in.length());
    std::vector<char> p(bytes.begin(), bytes.end());
    if (hosting) {
      FakeConn &f = fakes[conn % MAX_CLIENTS];
      f.room = conn & 0x80 ? 0 : 1L << 30;  // a full window now and then
      f.inbox.push_back(p);
      if (conn & 0x40) {
        strcpy(user[1].typings, "line");
        send_flag = true;
      }
      chat_net_step(1);
    } else {
      host.inbox.push_back(p);
      if (conn & 0x40) {
        strcpy(user[my_number].typings, "line");
        send_flag = true;
      }
      connected = true;
      chat_net_step(2);
    }
    check_tables();
    for (FakeConn &f : fakes) check_sent(f);
    check_sent(host);
  }
  Server_exit();
  Client_exit();
  return 0;
}
