// Shared pieces of the chat unit tests (see chat_fixture.h).
#include "chat_fixture.h"
#include <allegro.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include "main.h"
#include "packet.h"

namespace {

// Memory bitmaps and the built-in font need Allegro, not a screen.
class AllegroEnvironment : public testing::Environment {
 public:
  void SetUp() override
  {
    install_allegro(SYSTEM_NONE, &errno, atexit);
    set_color_depth(8);
  }
};

testing::Environment *const allegro_env =
    testing::AddGlobalTestEnvironment(new AllegroEnvironment);

}  // namespace

std::vector<char> packet(const char *id, std::vector<int> bytes, const char *text)
{
  std::vector<char> p(PACKET_SIZE, 0);
  strncpy(p.data(), id, 4);
  size_t at = 4;
  for (int b : bytes)
    p[at++] = (char)b;
  if (text)
    memcpy(p.data() + at, text, strlen(text));
  return p;
}

std::string id_of(const std::vector<char> &p) { return std::string(p.data(), 4); }

int byte_of(const std::vector<char> &p, int i) { return (signed char)p[4 + i]; }

std::string text_of(const std::vector<char> &p, int nbytes)
{
  return std::string(p.data() + 4 + nbytes);
}

void ChatTest::SetUp()
{
  saved_ops = chat_net_ops;
  chat_net_ops = fake_net_ops;
  char path[] = "/tmp/chat_trace_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  trace_path = path;
  chat_trace_open(trace_path.c_str());

  chat_screen_start();
  memset(user, 0, sizeof user);
  // The codec matches nothing until a packet has been built in the process;
  // a real host or client always builds one ("New!", "ReJo") before receiving.
  Packet("New!");
  memset(packetbuffer, 0, sizeof packetbuffer);
  memset(user_data, 0, sizeof user_data);
  my_number = 1;
  user_num = 1;
  send_flag = false;
  connected = false;
  client_num = 0;
  listen_conn = NULL;
  server_conn = NULL;
  for (int i = 0; i < MAX_CLIENTS; i++) {
    client_conn[i] = NULL;
    client_user[i] = 0;
  }
}

void ChatTest::TearDown()
{
  chat_trace_close();
  unlink(trace_path.c_str());
  Server_exit();
  Client_exit();
  chat_screen_end();
  chat_net_ops = saved_ops;
}

void ChatTest::accept_clients(int n)
{
  for (int i = 0; i < n; i++) {
    fakes[client_num].conn.data = &fakes[client_num];
    client_conn[client_num] = &fakes[client_num].conn;
    client_user[client_num] = 0;
    client_num++;
  }
}

void ChatTest::connect_client()
{
  host.conn.data = &host;
  server_conn = &host.conn;
}

void ChatTest::listen()
{
  listener.conn.data = &listener;
  listen_conn = &listener.conn;
}

void ChatTest::host_gets(int i, const std::vector<char> &p)
{
  fakes[i].inbox.push_back(p);
  host_receive();
}

void ChatTest::client_gets(const std::vector<char> &p)
{
  host.inbox.push_back(p);
  client_receive();
}

std::vector<std::string> ChatTest::events()
{
  std::vector<std::string> out;
  FILE *f = fopen(trace_path.c_str(), "r");
  if (!f)
    return out;
  fseek(f, trace_seen, SEEK_SET);
  char line[512];
  while (fgets(line, sizeof line, f)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n')
      s.pop_back();
    size_t space = s.find(' ');
    out.push_back(space == std::string::npos ? s : s.substr(space + 1));
  }
  trace_seen = ftell(f);
  fclose(f);
  return out;
}
