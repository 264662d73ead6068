// Design-following keyed clients against a real chat host that has a KEY
// (tests/e2e_chat/test_chat.py starts the host, inside a private network
// namespace, and this program): plain UDP sockets bound to addresses of
// 127.0.0.0/8, the conn protocol of the design (connect request, data
// packets, acknowledgements; no keep-alives, no cookie) and the keyed
// chat's packets "Open", "Lock", "Seal", "Nope" as private chats give them,
// with libsodium.
//
//   keyed_peers <port> <key> <ready file> <go file>
//
// 1. Alice (127.0.0.2) and Bobby (127.0.0.3) join with the key and say a
//    line each.
// 2. Strangers, each from an address of its own: a wrong key (must hear
//    "Nope" 2), a clear "ReJo" ("Nope" 1), a replay of Alice's "Open" and
//    first "Seal" on a new conn ("Nope" 2), one that joins and replays its
//    own sealed line, one that joins and sends an altered "Seal" (both must
//    be ended: the others hear "Left").
// 3. Five wrong keys from 127.0.0.9:40009, then the right key from there:
//    no "Lock" within 5 s; the right key from another port of 127.0.0.9
//    joins (Nine, user 4). Then a connect request with a new id in Alice's
//    address and port. Alice and Bobby acknowledge all along, and must
//    still hear each other.
// 4. Writes the ready file and, until the go file appears (the real
//    program joins meanwhile), keeps Alice and Bobby up; then each says a
//    line that the other must hear, and Alice must know user 5 by the name
//    "Real".
//
// Prints what each step saw; exits 0 when all of it held. Every wait has a
// deadline; nothing runs past about 150 s.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kPacket = 1024;
const int kInner = 256;
const int kSealEnd = 12 + kInner + 16;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;
const Clock::time_point t0 = Clock::now();

long now_ms() { return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count(); }

/* ---- The conn protocol of the design, on a plain socket ---- */

struct Link {
  int sock = -1;
  sockaddr_in host{};   // where requests go; the reply's sender once up
  uint32_t id = 0;
  bool up = false;
  long request_at = -1000;
  uint32_t next_out = 1, in_base = 1;
  std::map<uint32_t, Bytes> unacked;
  std::map<uint32_t, long> sent_at;
  std::map<uint32_t, Bytes> early;       // in the window, ahead of in_base
  std::vector<Bytes> inbox;              // messages in order, not yet taken
  long acks_sent = 0;

  Link(const char *from, int from_port, int port, uint32_t conn_id)
  {
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in me{};
    me.sin_family = AF_INET;
    if (from_port) {
      int one = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      me.sin_port = htons((unsigned short)from_port);
    }
    inet_pton(AF_INET, from, &me.sin_addr);
    bind(sock, (sockaddr *)&me, sizeof me);
    host.sin_family = AF_INET;
    host.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, "127.0.0.1", &host.sin_addr);
    id = conn_id;
  }
  ~Link() { close(sock); }
  void raw(const Bytes &b) { sendto(sock, b.data(), b.size(), 0, (sockaddr *)&host, sizeof host); }
  void send(const Bytes &message)
  {
    Bytes d(4 + message.size());
    for (int i = 0; i < 4; i++) d[i] = (unsigned char)(next_out >> (8 * i));
    memcpy(d.data() + 4, message.data(), message.size());
    unacked[next_out] = d;
    sent_at[next_out] = -1000;
    next_out++;
    pump();
  }
  // Takes in what came, acknowledges, resends what is due.
  void pump()
  {
    long now = now_ms();
    if (!up && now - request_at >= 200) {
      Bytes r = {'c', 'o', 'n', 'n', 'e', 'c', 't', 0, (unsigned char)(id >> 24), (unsigned char)(id >> 16),
                 (unsigned char)(id >> 8), (unsigned char)id};
      raw(r);
      request_at = now;
    }
    unsigned char buf[20000];
    for (int n = 0; n < 1000; n++) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t got = recvfrom(sock, buf, sizeof buf, MSG_DONTWAIT, (sockaddr *)&from, &len);
      if (got < 0) break;
      static const unsigned char zero[8] = {0};
      if (!up) {
        if (got == 8 && memcmp(buf, zero, 8) == 0) {
          up = true;
          host = from;
        }
        continue;
      }
      if (got < 4) continue;
      uint32_t index = buf[0] | buf[1] << 8 | buf[2] << 16 | (uint32_t)buf[3] << 24;
      if (index == 0) {
        if (got == 8) {
          uint32_t a = buf[4] | buf[5] << 8 | buf[6] << 16 | (uint32_t)buf[7] << 24;
          unacked.erase(a);
          sent_at.erase(a);
        }
        continue;
      }
      if (got == 4 || index >= in_base + 16) continue;
      if (index >= in_base) early[index] = Bytes(buf + 4, buf + got);
      Bytes ack = {0, 0, 0, 0, buf[0], buf[1], buf[2], buf[3]};
      raw(ack);
      acks_sent++;
    }
    while (early.count(in_base)) {
      inbox.push_back(early[in_base]);
      early.erase(in_base);
      in_base++;
    }
    if (!up) return;
    for (auto &u : unacked) {
      if (now - sent_at[u.first] >= 500) {
        raw(u.second);
        sent_at[u.first] = now;
      }
    }
  }
};

/* ---- Keyed chat packets ---- */

Bytes packet(const char *id)
{
  Bytes p(kPacket, 0);
  memcpy(p.data(), id, 4);
  return p;
}

void put_be64(unsigned char *p, uint64_t v)
{
  for (int i = 7; i >= 0; i--, v >>= 8) p[i] = (unsigned char)v;
}

Bytes seal(const Bytes &inner, uint64_t counter, const unsigned char key[32])
{
  Bytes p = packet("Seal");
  put_be64(p.data() + 4, counter);
  unsigned char nonce[12] = {0};
  put_be64(nonce + 4, counter);
  crypto_aead_chacha20poly1305_ietf_encrypt(p.data() + 12, NULL, inner.data(), kInner, p.data(), 12, NULL, nonce,
                                            key);
  return p;
}

bool unseal(const Bytes &p, uint64_t counter, const unsigned char key[32], Bytes *inner)
{
  if (p.size() != (size_t)kPacket || memcmp(p.data(), "Seal", 4) != 0) return false;
  unsigned char want[8];
  put_be64(want, counter);
  if (memcmp(p.data() + 4, want, 8) != 0) return false;
  unsigned char nonce[12] = {0};
  put_be64(nonce + 4, counter);
  inner->assign(kPacket, 0);
  return crypto_aead_chacha20poly1305_ietf_decrypt(inner->data(), NULL, NULL, p.data() + 12, kSealEnd - 12,
                                                   p.data(), 12, nonce, key) == 0;
}

struct Keyed;
std::vector<Keyed *> everybody;  // kept up while anybody waits
void pump_all();
void wait_ms(long ms)
{
  long end = now_ms() + ms;
  while (now_ms() < end) {
    pump_all();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

uint32_t next_id = 1000;

struct Keyed {
  std::string name;
  Link link;
  unsigned char cpk[32], csk[32], send_key[32], receive_key[32];
  uint64_t sent = 0, received = 0;
  int number = 0, nope = 0;
  bool locked = false, broken = false;
  std::vector<Bytes> sent_seals;       // every "Seal" sent, for replays
  Bytes open;
  std::map<int, std::string> users;    // from "Join", less "Left"
  std::vector<std::pair<int, std::string>> lines;
  std::vector<int> left;

  Keyed(const std::string &n, const char *from, int port, int from_port = 0)
      : name(n), link(from, from_port, port, next_id++)
  {
    everybody.push_back(this);
  }
  ~Keyed()
  {
    for (size_t i = 0; i < everybody.size(); i++)
      if (everybody[i] == this) everybody.erase(everybody.begin() + (long)i);
  }
  bool connect(long limit = 3000)
  {
    long end = now_ms() + limit;
    while (!link.up && now_ms() < end) wait_ms(5);
    return link.up;
  }
  void send_open()
  {
    crypto_box_keypair(cpk, csk);
    open = packet("Open");
    open[4] = 1;
    memcpy(open.data() + 8, cpk, 32);
    link.send(open);
  }
  // Waits for "Lock" (or "Nope"); with the lock, makes the keys from `key`.
  bool hear_lock(const std::string &key, long limit = 6000)
  {
    long end = now_ms() + limit;
    while (now_ms() < end) {
      wait_ms(5);
      if (link.inbox.empty()) continue;
      Bytes p = link.inbox.front();
      link.inbox.erase(link.inbox.begin());
      if (p.size() >= 5 && memcmp(p.data(), "Nope", 4) == 0) {
        nope = p[4];
        return false;
      }
      if (p.size() != (size_t)kPacket || memcmp(p.data(), "Lock", 4) != 0) return false;
      unsigned char k[32], shared[32], keys[64];
      const unsigned char *salt = p.data() + 8, *hpk = p.data() + 24;
      if (crypto_pwhash(k, 32, key.c_str(), key.size(), salt, 2, 64 << 20, crypto_pwhash_ALG_ARGON2ID13) != 0 ||
          crypto_scalarmult(shared, csk, hpk) != 0)
        return false;
      crypto_generichash_state h;
      crypto_generichash_init(&h, k, 32, 64);
      crypto_generichash_update(&h, (const unsigned char *)"yammerlane chat 1", 17);
      crypto_generichash_update(&h, shared, 32);
      crypto_generichash_update(&h, cpk, 32);
      crypto_generichash_update(&h, hpk, 32);
      crypto_generichash_final(&h, keys, 64);
      memcpy(send_key, keys, 32);
      memcpy(receive_key, keys + 32, 32);
      locked = true;
      return true;
    }
    return false;
  }
  void say_inner(const Bytes &inner)
  {
    Bytes s = seal(inner, sent++, send_key);
    sent_seals.push_back(s);
    link.send(s);
  }
  void say(const std::string &text)
  {
    Bytes m(kInner, 0);
    memcpy(m.data(), "Mesg", 4);
    m[4] = (unsigned char)number;
    memcpy(m.data() + 5, text.data(), text.size());
    say_inner(m);
  }
  // Takes in what the host sent: every "Seal" opened and its packet read.
  void take()
  {
    while (!link.inbox.empty() && !broken) {
      Bytes p = link.inbox.front();
      link.inbox.erase(link.inbox.begin());
      if (p.size() >= 5 && memcmp(p.data(), "Nope", 4) == 0) {
        nope = p[4];
        continue;
      }
      Bytes in;
      if (!locked || !unseal(p, received, receive_key, &in)) {
        broken = true;
        printf("%s: a packet from the host did not open\n", name.c_str());
        return;
      }
      received++;
      std::string text((const char *)in.data() + 5, strnlen((const char *)in.data() + 5, 50));
      if (memcmp(in.data(), "You!", 4) == 0) number = in[4];
      if (memcmp(in.data(), "Join", 4) == 0)
        users[in[4]] = std::string((const char *)in.data() + 6, strnlen((const char *)in.data() + 6, 50));
      if (memcmp(in.data(), "Left", 4) == 0) {
        users.erase(in[4]);
        left.push_back(in[4]);
      }
      if (memcmp(in.data(), "Mesg", 4) == 0) lines.push_back({in[4], text});
    }
  }
  // The whole join: 0 and a number, or the "Nope" it heard (1, 2), or -1
  // for no "Lock" in time.
  int join(const std::string &key, long limit = 8000)
  {
    if (!connect()) return -1;
    send_open();
    if (!hear_lock(key)) return nope ? nope : -1;
    Bytes rejo(kInner, 0);
    memcpy(rejo.data(), "ReJo", 4);
    rejo[4] = 9;
    memcpy(rejo.data() + 5, name.data(), name.size());
    say_inner(rejo);
    long end = now_ms() + limit;
    while (!number && !nope && now_ms() < end) wait_ms(5);
    return number ? 0 : (nope ? nope : -1);
  }
  bool heard(int who, const std::string &text) const
  {
    for (auto &l : lines)
      if (l.first == who && l.second == text) return true;
    return false;
  }
};

void pump_all()
{
  for (Keyed *k : everybody) {
    k->link.pump();
    if (k->locked) k->take();
  }
}

bool wait_for(const std::function<bool()> &done, long limit)
{
  long end = now_ms() + limit;
  while (!done() && now_ms() < end) wait_ms(5);
  return done();
}

bool failed = false;
void check(bool ok, const char *what)
{
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  fflush(stdout);
  failed = failed || !ok;
}

bool exists(const char *path) { return access(path, F_OK) == 0; }

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 5 || sodium_init() < 0) {
    fprintf(stderr, "usage: keyed_peers <port> <key> <ready file> <go file>\n");
    return 2;
  }
  int port = atoi(argv[1]);
  std::string key = argv[2];
  const char *ready = argv[3], *go = argv[4];

  // 1. Two users who chat.
  Keyed alice("Alice", "127.0.0.2", port), bobby("Bobby", "127.0.0.3", port);
  check(alice.join(key) == 0 && alice.number == 2, "Alice joins as user 2");
  check(bobby.join(key) == 0 && bobby.number == 3, "Bobby joins as user 3");
  alice.say("a one");
  bobby.say("b one");
  check(wait_for([&] { return bobby.heard(2, "a one") && alice.heard(3, "b one"); }, 5000),
        "their first lines cross");

  // 2. Strangers of every kind, each from an address of its own.
  {
    Keyed wrong("Wrong", "127.0.0.4", port);
    check(wrong.join(key + "x") == 2, "a wrong key hears Nope 2");
  }
  {
    Keyed clear("Clear", "127.0.0.5", port);
    bool up = clear.connect();
    Bytes rejo = packet("ReJo");
    memcpy(rejo.data() + 5, "Clear", 5);
    clear.link.send(rejo);
    check(up && wait_for([&] {
            if (!clear.link.inbox.empty() && memcmp(clear.link.inbox[0].data(), "Nope", 4) == 0)
              clear.nope = clear.link.inbox[0][4];
            return clear.nope != 0;
          }, 5000) && clear.nope == 1,
          "a clear ReJo hears Nope 1");
  }
  {
    Keyed replay("Replay", "127.0.0.6", port);
    bool up = replay.connect();
    replay.link.send(alice.open);
    replay.link.send(alice.sent_seals[0]);
    check(up && wait_for([&] {
            for (auto &p : replay.link.inbox)
              if (memcmp(p.data(), "Nope", 4) == 0) replay.nope = p[4];
            return replay.nope != 0;
          }, 5000) && replay.nope == 2,
          "Alice's Open and first Seal replayed on a new conn hear Nope 2");
  }
  {
    Keyed echo("Echo", "127.0.0.7", port);
    bool joined = echo.join(key) == 0;
    int who = echo.number;
    echo.say("echo once");
    echo.link.send(echo.sent_seals.back());  // the same "Seal" again
    check(joined && wait_for([&] { return !alice.left.empty() && alice.left.back() == who; }, 5000),
          "one that replays its own sealed line is ended (Alice hears Left)");
  }
  {
    Keyed bent("Bent", "127.0.0.8", port);
    bool joined = bent.join(key) == 0;
    int who = bent.number;
    Bytes m(kInner, 0);
    memcpy(m.data(), "Mesg", 4);
    Bytes s = seal(m, bent.sent++, bent.send_key);
    s[40] ^= 1;
    bent.link.send(s);
    check(joined && wait_for([&] { return !bobby.left.empty() && bobby.left.back() == who; }, 5000),
          "one that sends an altered Seal is ended (Bobby hears Left)");
  }

  // 3. Guessing from one address and port: five wrong keys, then the right
  // one from there hears no "Lock"; from another port it joins (a conn that
  // proved nothing turns away only its own address and port). Each guess
  // waits until the host has closed the one before, so that no request
  // finds the address still taken.
  int nopes = 0;
  for (int n = 0; n < 5; n++) {
    Keyed guess("Guess", "127.0.0.9", port, 40009);
    nopes += guess.join(key + std::to_string(n)) == 2;
    wait_ms(300);
  }
  check(nopes == 5, "five wrong keys from 127.0.0.9:40009 each hear Nope 2");
  {
    Keyed late("Late", "127.0.0.9", port, 40009);
    bool up = late.connect();
    late.send_open();
    check(up && !late.hear_lock(key, 5500) && late.nope == 0, "the right key from there hears no Lock");
  }
  Keyed nine("Nine", "127.0.0.9", port);
  check(nine.join(key) == 0 && nine.number == 4, "the right key from another port of 127.0.0.9 joins as user 4");

  // A connect request with an id of its own in Alice's address and port, as
  // anyone sharing or forging it can send: her conn must keep her address.
  uint32_t id = alice.link.id + 77;
  alice.link.raw({'c', 'o', 'n', 'n', 'e', 'c', 't', 0, (unsigned char)(id >> 24), (unsigned char)(id >> 16),
                  (unsigned char)(id >> 8), (unsigned char)id});
  wait_ms(200);
  alice.say("a two");
  bobby.say("b two");
  check(wait_for([&] { return bobby.heard(2, "a two") && alice.heard(3, "b two"); }, 5000),
        "after the guesses Alice and Bobby still hear each other");
  check(alice.users.count(3) && bobby.users.count(2) && alice.users.count(4), "and still know each other and Nine");

  // 4. The real program joins; Alice and Bobby stay up meanwhile.
  FILE *f = fopen(ready, "w");
  if (f) fclose(f);
  long end = now_ms() + 90000;
  while (!exists(go) && now_ms() < end) wait_ms(20);
  check(exists(go), "the real program joined (the go file came)");
  int real = 0;
  for (auto &u : alice.users)
    if (u.second == "Real") real = u.first;
  check(real == 5, "Alice knows the real program as user 5");
  alice.say("a three");
  bobby.say("b three");
  check(wait_for([&] { return bobby.heard(2, "a three") && alice.heard(3, "b three"); }, 5000),
        "with the real program in, Alice and Bobby hear each other");
  printf("acknowledgements sent: Alice %ld, Bobby %ld\n", alice.link.acks_sent, bobby.link.acks_sent);
  // Let the real program see the lines before leaving.
  wait_ms(3000);
  return failed ? 1 : 0;
}
