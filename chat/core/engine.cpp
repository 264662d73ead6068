// The running chat: start, the network half of a logic step, the local
// user's line and the end, for the screen and the console host alike.
#include <stdio.h>
#include <string.h>
#include "discovery.h"
#include "engine.h"
#include "events.h"
#include "fields.h"
#include "files.h"
#include "network.h"
#include "packet.h"
#include "rules.h"
#include "seal.h"
#include "session.h"
#include "timers.h"

static const char *bad_port = "Bad PORT: type a number from 1 to 65535, or leave it empty.";

// What both kinds of start reset first.
static void chat_reset()
{
  Init_network_stuff();
  done = false;
  send_flag = false;
  rules_reset();
  seal_end();
  files_end();
  files_load_config("netlane.cfg");
}

// Tells the host what to tell the others: each address of this machine
// with the port the chat listens on.
#define JOIN_LINES_MAX 8
static void post_join_lines()
{
  char addresses[JOIN_LINES_MAX][MACHINE_ADDRESS_SIZE];
  const char *local = net_getconnlocaladdress(listen_conn);
  const char *colon = local ? strrchr(local, ':') : NULL;
  int count = machine_addresses(addresses, JOIN_LINES_MAX);
  for (int i = 0; i < count && colon; i++) {
    char line[USER_DATA];
    snprintf(line, sizeof line, "Others can join at %.29s port %.5s", addresses[i], colon + 1);
    out_line("Server", 0, line);
  }
}

int chat_host_open(char why[START_FAILURE_SIZE])
{
  chat_reset();
  why[0] = 0;
  // K is made before anybody can knock.
  if (seal_host_start(chat_key) != 0) {
    snprintf(why, START_FAILURE_SIZE, "Not enough memory to make the chat's key");
    done = true;
    return 1;
  }
  int result = Server_init();
  if (result == 1 && port_field_refused)
    snprintf(why, START_FAILURE_SIZE, "%s", bad_port);
  else if (result == 1)
    snprintf(why, START_FAILURE_SIZE, "Error opening conn\n%s", failure_cause);
  else if (result == 2)
    snprintf(why, START_FAILURE_SIZE, "Error making a listen conn\n%s", failure_cause);
  if (result)
    done = true;
  memcpy(user[my_number].name, host_name, USER_NAME);
  user[my_number].name[USER_NAME - 1] = 0;
  user[my_number].text_color = pick_color;
  if (result == 0)
    post_join_lines();
  if (result == 0 && discovery_host_open(listen_conn, user[my_number].name, MAX_USERS - 1, seal_keyed()) != 0)
    out_line("Server", 0, "Not findable: the discovery port is taken");
  return result;
}

int chat_join_open(int (*wait_hook)(const char *peer, long remaining_ms), char why[START_FAILURE_SIZE])
{
  chat_reset();
  why[0] = 0;
  connect_wait_hook = wait_hook;
  int result = Client_init(ip_addy);
  const char *refused = NULL;
  if (result == 0 && chat_key[0])
    result = seal_client_join(server_conn, chat_key, wait_hook, &refused);
  connect_wait_hook = NULL;
  if (refused)
    snprintf(why, START_FAILURE_SIZE, "%s", refused);
  else if (result == 1 && port_field_refused)
    snprintf(why, START_FAILURE_SIZE, "%s", bad_port);
  else if (result == 1)
    snprintf(why, START_FAILURE_SIZE, "Error opening conn.\n%s", failure_cause);
  else if (result == 2)
    snprintf(why, START_FAILURE_SIZE, "Error initiating connection.\n%s", failure_cause);
  else if (result == 3)
    snprintf(why, START_FAILURE_SIZE, "Error connecting.\n%s", failure_cause);
  // 4: the user cancelled the wait, and knows it.
  if (result)
    done = true;
  return result;
}

void chat_net_step(int chat_type)
{
  backlog_flush();
  if (chat_type == 1) {
    if (Sever_listen_for_new_client())
      host_new_client();
    if (send_flag)
      send_typed_line(chat_type);
    host_receive();
    files_step(chat_type);
    seal_step();
    discovery_host_step(users_present(), discovery_clock_ms());
    return;
  }
  if (!connected) {
    client_ask_to_join();
    return;
  }
  client_receive();
  if (send_flag)
    send_typed_line(chat_type);
  files_step(chat_type);
}

// Up to a millisecond for a message on the chat's conns (their protocol
// runs meanwhile), so each hop of a part costs what the machine takes, not
// a sleep. A conn left unread (its parts wait for a slow taker) is ready at
// once: a wait that ends at once is followed by a plain sleep, so such a
// conn cannot make the loop spin.
static void files_wait(int chat_type)
{
  static bool woke_at_once = false;
  NET_CONN *conns[MAX_CLIENTS];
  int n = 0;
  for (int i = 0; chat_type == 1 && i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i])
      conns[n++] = client_conn[i];
  if (chat_type != 1 && server_conn)
    conns[n++] = server_conn;
  if (woke_at_once || n == 0 || chat_net_ops.send != net_send_rdm) {
    woke_at_once = false;
    wait_ms(1);
    return;
  }
  long long start = clock_us();
  woke_at_once = net_wait(conns, n, NULL, 0, 1) > 0 && clock_us() - start < 50;
}

int chat_files_pump(int chat_type)
{
  if (!files_busy())
    return 0;
  backlog_flush();
  if (chat_type == 1)
    host_receive();
  else if (connected)
    client_receive();
  files_step(chat_type);
  files_wait(chat_type);
  return 1;
}

void chat_say(int chat_type)
{
  if (chat_type != 1 && host_ended) {
    // Nobody would receive it: the line must not look sent.
    out_line("Server", 0, "Not sent: the host has ended the chat (Esc leaves)");
    clear_string(user[my_number].typings, USER_TYPINGS);
  } else if (chat_type != 1 && !send_room(server_conn)) {
    // The host is not taking lines as fast: the line waits where it is.
    out_line("Server", 0, "Not sent yet: the host is busy (Enter tries again)");
  } else {
    out_line(user[my_number].name, user[my_number].text_color, user[my_number].typings);
    send_flag = true;
  }
}

void chat_close(int chat_type)
{
  discovery_host_close();
  files_end();
  // Everybody hears of the leave at once instead of after the silence.
  if (chat_type == 1 || (connected && !host_ended))
    say_bye(chat_type);
  if (chat_type == 1)
    Server_exit();
  else
    Client_exit();
  clear_string(packetbuffer, PACKET_CLEAR);
  clear_string(user_data, USER_DATA);
  for (int n = 0; n < MAX_USERS; n++) {
    clear_string(user[n].typings, USER_TYPINGS);
    clear_string(user[n].name, USER_NAME);
  }
  rules_reset();
  my_number = 1;
  user_num = 1;
  send_flag = false;
}

int users_present()
{
  int n = 1;
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++)
    if (client_conn[i] && client_user[i] != 0)
      n++;
  return n;
}
