/* hello_conns: two netlane conns in one program exchange a message over
 * UDP on 127.0.0.1. One conn listens, the other connects to it; the
 * client says hello, the accepted conn answers.
 *
 *   hello_conns [PORT]    the listener's UDP port, 24800 when none is given
 *                         (its own: the chat has 24785 and 24786)
 *
 * Ends with status 0 when both messages arrived, 1 otherwise. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <netlane.h>

#define EXAMPLE_PORT 24800
#define STEP_MS 50
#define GIVE_UP_STEPS 100 /* five seconds of waits */

/* Sleeps in net_wait until `conn` has a message, and takes it: its length,
 * or -1 when none came within five seconds. The conns' protocol (resends,
 * acknowledgements) keeps working while net_wait sleeps. */
static int receive(NET_CONN *conn, char *buf, int size)
{
  int step;
  for (step = 0; step < GIVE_UP_STEPS; step++) {
    int n = net_receive_rdm(conn, buf, size - 1);
    if (n > 0) {
      buf[n] = 0;
      return n;
    }
    net_wait(&conn, 1, NULL, 0, STEP_MS);
  }
  return -1;
}

int main(int argc, char **argv)
{
  char listen_at[NET_MAX_ADDRESS_LENGTH];
  char text[64];
  NET_CONN *host, *client, *accepted = NULL;
  int step, connected = 0, port = EXAMPLE_PORT;

  if (argc > 1) {
    port = atoi(argv[1]);
    if (port < 1 || port > 65535) {
      fprintf(stderr, "usage: %s [PORT]  (1 to 65535)\n", argv[0]);
      return 1;
    }
  }
  snprintf(listen_at, sizeof listen_at, "127.0.0.1:%d", port);

  if (net_init() != 0 || !net_initdriver(NET_DRIVER_WSOCK_WIN)) {
    fprintf(stderr, "the UDP driver cannot start\n");
    return 1;
  }

  /* The listener binds the address; the client lets the system pick a port. */
  host = net_openconn(NET_DRIVER_WSOCK_WIN, listen_at);
  if (!host || net_listen(host) != 0) {
    fprintf(stderr, "cannot listen on %s\n", listen_at);
    return 1;
  }
  client = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
  if (!client || net_connect(client, listen_at) != 0) {
    fprintf(stderr, "cannot connect to %s\n", listen_at);
    return 1;
  }

  /* Both sides in one loop, sleeping in net_wait until the listener has a
   * request or the client's connect has an answer; neither poll waits. */
  for (step = 0; step < GIVE_UP_STEPS && !(accepted && connected); step++) {
    NET_CONN *waiting[2];
    int count = 0;
    if (!accepted)
      waiting[count++] = host;
    if (!connected)
      waiting[count++] = client;
    net_wait(waiting, count, NULL, 0, STEP_MS);
    if (!accepted)
      accepted = net_poll_listen(host);
    if (!connected)
      connected = net_poll_connect(client) == 1;
  }
  if (!accepted || !connected) {
    fprintf(stderr, "no connection within five seconds\n");
    return 1;
  }
  printf("connected: %s\n", net_getpeer(client));

  net_send_rdm(client, "hello from the client", 22);
  if (receive(accepted, text, sizeof text) < 0)
    return 1;
  printf("host got: %s\n", text);

  net_send_rdm(accepted, "hello from the host", 20);
  if (receive(client, text, sizeof text) < 0)
    return 1;
  printf("client got: %s\n", text);

  /* net_init arranged for net_shutdown to close everything at exit. */
  return 0;
}
