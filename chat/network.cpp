// The chat's host and client conns over netlane's UDP driver (driver 4):
// "" binds the host's listening conn to its configured port (24785), ":5000"
// to port 5000; a client connects to "192.168.0.5" or "192.168.0.5:5000".
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <chrono>
#include <thread>
#include "network.h"
#include "menu.h"

chat_net chat_net_ops = {
  net_send_rdm,     /* send */
  net_receive_rdm,  /* receive */
  net_query_rdm,    /* query */
  net_ignore_rdm,   /* ignore */
  net_closeconn,    /* close */
};

// Not named `listen`: a global of that name would take the place of the
// sockets call of the same name in the linked program.
NET_CONN *listen_conn = NULL;
NET_CONN *client_conn[MAX_CLIENTS];
int client_num = 0;
NET_CONN *server_conn = NULL;
bool connected = false;

int connect_poll_ms = 200;
int connect_time_limit_ms = 10000;

// ":" + "65535" + terminator, or a 21-character address + ":65535" + terminator.
#define BIND_TEXT_SIZE  8
#define PEER_TEXT_SIZE  (IP_ADDY_SIZE + 7)

static void wait_ms(int ms)
{
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void Init_network_stuff()
{
  net_init();
  net_loadconfig(NULL);
  net_detectdrivers(net_drivers_all);
  net_initdrivers(net_drivers_all);
}

int port_text_ok(const char *port)
{
  if (port[0] == 0)
    return 1;
  long value = 0;
  for (const char *c = port; *c; c++) {
    if (*c < '0' || *c > '9' || c - port >= 5)
      return 0;
    value = value * 10 + (*c - '0');
  }
  return value >= 1 && value <= 65535;
}

int Server_init()
{
  client_num = 0;
  for (int i = 0; i < MAX_CLIENTS; i++)
    client_conn[i] = NULL;

  if (!port_text_ok(port_num))
    return 1;
  // The empty text, not the absent one: the driver's configured port.
  char binding[BIND_TEXT_SIZE] = "";
  if (port_num[0])
    snprintf(binding, sizeof binding, ":%s", port_num);

  listen_conn = net_openconn(NET_DRIVER_WSOCK_WIN, binding);
  if (!listen_conn)
    return 1;
  if (net_listen(listen_conn) != 0)
    return 2;
  return 0;
}

int Sever_listen_for_new_client()
{
  if (client_num >= MAX_CLIENTS) {
    if (listen_conn) {
      chat_net_ops.close(listen_conn);
      listen_conn = NULL;
    }
    return 0;
  }
  if (!listen_conn)
    return 0;

  NET_CONN *conn = net_poll_listen(listen_conn);
  if (!conn)
    return 0;
  client_conn[client_num] = conn;
  client_num++;
  return 1;
}

void Server_exit()
{
  for (int i = 0; i < client_num && i < MAX_CLIENTS; i++) {
    if (client_conn[i])
      chat_net_ops.close(client_conn[i]);
    client_conn[i] = NULL;
  }
  if (listen_conn)
    chat_net_ops.close(listen_conn);
  listen_conn = NULL;
  client_num = 0;
}

int Client_init(const char *ip_address)
{
  server_conn = NULL;
  if (!port_text_ok(port_num))
    return 1;

  // A typed PORT reaches the conn unless the address names its own port.
  char peer[PEER_TEXT_SIZE];
  if (port_num[0] && !strchr(ip_address, ':'))
    snprintf(peer, sizeof peer, "%.*s:%s", IP_ADDY_SIZE - 1, ip_address, port_num);
  else
    snprintf(peer, sizeof peer, "%s", ip_address);

  server_conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!server_conn)
    return 1;
  if (net_connect(server_conn, peer) != 0)
    return 2;

  // The wrapper never reports a host that does not answer, so the wait has
  // its own limit; each poll may send the connect request again.
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int result = net_poll_connect(server_conn);
    if (result > 0)
      return 0;
    if (result < 0)
      return 3;
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start).count();
    if (spent >= connect_time_limit_ms)
      return 3;
    wait_ms(connect_poll_ms);
  }
}

void Client_exit()
{
  if (server_conn)
    chat_net_ops.close(server_conn);
  server_conn = NULL;
  connected = false;
}
