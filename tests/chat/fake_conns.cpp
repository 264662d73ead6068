// Conns that never reach the network library (see fake_conns.h).
#include "fake_conns.h"

#include <string.h>

namespace {

FakeConn *fake_of(NET_CONN *conn) { return static_cast<FakeConn *>(conn->data); }

int fake_send(NET_CONN *conn, const void *buffer, int size)
{
  FakeConn *f = fake_of(conn);
  if (f->room <= 0)
    return -1;
  f->room--;
  const char *b = static_cast<const char *>(buffer);
  f->sent.emplace_back(b, b + size);
  return 0;
}

int fake_query(NET_CONN *conn)
{
  FakeConn *f = fake_of(conn);
  return f->inbox.empty() ? 0 : (int)f->inbox.front().size();
}

int fake_receive(NET_CONN *conn, void *buffer, int maxsize)
{
  FakeConn *f = fake_of(conn);
  if (f->inbox.empty())
    return 0;
  std::vector<char> &m = f->inbox.front();
  if ((int)m.size() > maxsize) {
    memcpy(buffer, m.data(), maxsize);
    return -1;
  }
  int size = (int)m.size();
  memcpy(buffer, m.data(), size);
  f->inbox.pop_front();
  return size;
}

int fake_ignore(NET_CONN *conn)
{
  FakeConn *f = fake_of(conn);
  if (f->inbox.empty())
    return 0;
  f->inbox.pop_front();
  return 1;
}

int fake_close(NET_CONN *conn)
{
  fake_of(conn)->closed = true;
  return 0;
}

NET_CONN *fake_poll_listen(NET_CONN *conn)
{
  FakeConn *f = fake_of(conn);
  f->polls++;
  if (f->requests.empty())
    return NULL;
  NET_CONN *c = f->requests.front();
  f->requests.pop_front();
  return c;
}

int fake_figures(NET_CONN *conn, NET_CONN_FIGURES *figures)
{
  *figures = NET_CONN_FIGURES();
  figures->peer_silence = fake_of(conn)->silence;
  figures->peer_keepalives = fake_of(conn)->keepalives;
  figures->dead = fake_of(conn)->dead;
  figures->proved = fake_of(conn)->proved;
  return 0;
}

}  // namespace

const chat_net fake_net_ops = {
  fake_send,         /* send */
  fake_receive,      /* receive */
  fake_query,        /* query */
  fake_ignore,       /* ignore */
  fake_close,        /* close */
  fake_poll_listen,  /* poll_listen */
  fake_figures,      /* figures */
};
