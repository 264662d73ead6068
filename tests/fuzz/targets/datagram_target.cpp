// Fuzz target: the input as a run of events at the wrapper's conns on the
// in-memory driver. Raw channels play a stranger at the listening conn, the
// peer of a conn that the listener accepted, and the host of a client conn
// that connects to it; the input chooses the datagrams each sends and when
// the conns send, receive, poll and the clock moves. Every answer stays in
// its range, queues within their sizes, and the listener's client list
// holds at most the accepted conn and the last one closed.
#include <string.h>

#include <string>

#include "connhelp.h"
#include "lossy_driver.h"
#include "netlane.h"
#include "target.h"

// The wrapper driver's test hook (declared for tests only, as in
// rdm_fixture.h, which brings GoogleTest along).
int __netlane_internal__conn_client_count(NET_CONN *conn);

namespace {

const int kBuffer = 20000;  // more than any datagram the conns take
int drv = 0;

void send_raw(NET_CHANNEL *from, const std::vector<unsigned char> &bytes)
{
  net_send(from, bytes.data(), (int)bytes.size());
}

// Every datagram waiting at `chan`; the last sender's address in `from`.
void drain(NET_CHANNEL *chan, std::string *from)
{
  static unsigned char buf[kBuffer];
  char sender[NET_MAX_ADDRESS_LENGTH];
  for (int n = 0; n < 1000; n++) {
    sender[0] = 0;
    int len = net_receive(chan, buf, sizeof buf, sender);
    if (len < 0 || (len == 0 && sender[0] == 0)) return;
    if (from) *from = sender;
  }
}

void check_conn(NET_CONN *conn)
{
  static unsigned char buf[kBuffer];
  int in_q = -1, out_q = -1;
  FUZZ_CHECK(net_conn_stats(conn, &in_q, &out_q) == 0);
  FUZZ_CHECK(in_q >= 0 && in_q <= 16);
  FUZZ_CHECK(out_q >= 0 && out_q <= 15);
  int size = net_query_rdm(conn);
  FUZZ_CHECK(size >= 0 && size <= 16380);
  int len = net_receive_rdm(conn, buf, 100);
  FUZZ_CHECK(len >= -1 && len <= 100);
  if (len == -1) FUZZ_CHECK(net_ignore_rdm(conn) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  net_set_timer_func(test_clock);
  test_clock_set(1000);
  FUZZ_CHECK(net_init() == 0);
  drv = net_register_driver(0, &lossy_driver);
  FUZZ_CHECK(drv != 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  lossy_reset(lossy_settings{1, 0, 0, 0});
  Input in(data, size);
  NET_CONN *listener = net_openconn(drv, "40000");
  FUZZ_CHECK(listener && net_listen(listener) == 0);
  NET_CHANNEL *stranger = net_openchannel(drv, NULL);
  NET_CHANNEL *peer = net_openchannel(drv, NULL);
  NET_CHANNEL *host = net_openchannel(drv, NULL);
  FUZZ_CHECK(stranger && peer && host);
  net_assigntarget(stranger, "40000");

  // The peer asks the listener by hand and talks to the conn it gets.
  net_assigntarget(peer, "40000");
  send_raw(peer, {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, 0, 0, 0, 7});
  NET_CONN *accepted = net_poll_listen(listener);
  FUZZ_CHECK(accepted != NULL);
  std::string per_client;
  drain(peer, &per_client);
  net_assigntarget(peer, per_client.c_str());

  // The client connects to the raw host, which answers when the input says.
  NET_CONN *client = net_openconn(drv, NULL);
  FUZZ_CHECK(client && net_connect(client, host->local_addr) == 0);
  std::string client_addr;

  for (int op = 0; op < 3000 && in.left(); op++) {
    switch (in.byte() % 8) {
      case 0:
        send_raw(stranger, in.bytes(in.length()));
        break;
      case 1:
        send_raw(peer, in.bytes(in.length()));
        break;
      case 2:  // the host, once it knows the client's address
        if (!client_addr.empty()) {
          net_assigntarget(host, client_addr.c_str());
          send_raw(host, in.bytes(in.length()));
        }
        break;
      case 3:  // the host's connect reply
        if (!client_addr.empty()) {
          net_assigntarget(host, client_addr.c_str());
          send_raw(host, std::vector<unsigned char>(8, 0));
        }
        break;
      case 4: {
        std::vector<unsigned char> m = in.bytes(in.length());
        int sent = net_send_rdm(accepted, m.data(), (int)m.size());
        FUZZ_CHECK(sent == 0 || sent == -1);
        if (client->status == NET_CONN_CONNECTED)
          FUZZ_CHECK(net_send_rdm(client, m.data(), (int)m.size()) >= -1);
        break;
      }
      case 5: {
        int state = net_poll_connect(client);
        FUZZ_CHECK(state >= -1 && state <= 1);
        if (state < 0) FUZZ_CHECK(net_connect(client, host->local_addr) == 0);
        check_conn(accepted);
        if (client->status == NET_CONN_CONNECTED) check_conn(client);
        break;
      }
      case 6:
        test_clock_advance(in.byte() * 8u);
        break;
      default: {
        NET_CONN *fresh = net_poll_listen(listener);
        if (fresh) FUZZ_CHECK(net_closeconn(fresh) == 0);
        FUZZ_CHECK(__netlane_internal__conn_client_count(listener) <= 2);
        break;
      }
    }
    drain(stranger, NULL);
    drain(peer, NULL);
    drain(host, &client_addr);
  }
  FUZZ_CHECK(net_closeconn(client) == 0);
  FUZZ_CHECK(net_closeconn(accepted) == 0);
  FUZZ_CHECK(net_closeconn(listener) == 0);
  for (NET_CHANNEL *c : {stranger, peer, host}) FUZZ_CHECK(net_closechannel(c) == 0);
  return 0;
}
