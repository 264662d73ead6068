// The console host, `yammerlane --host`, as a process without a display:
// bad options and a taken port end it with their status and cause; a key
// file others may read is refused before anything listens; inside a
// private network namespace clients that speak the chat's packets over
// netlane conns join it, talk through it, hear its stdin lines and its end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <grp.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <sodium.h>

#include "discovery.h"
#include "netlane.h"
#include "packet.h"
#include "seal.h"
#include "test_port.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *inside_flag = "YAMMER_CONSOLE_PRIVATE_NET";
bool inside() { return getenv(inside_flag) != NULL; }

long ms_since(Clock::time_point t)
{
  return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// `yammerlane --host ...` with DISPLAY unset, its three standard streams piped.
struct Host {
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string out_text, err_text;
  int status = -1;

  // `user`: the user it runs as, when not this test's.
  explicit Host(std::vector<std::string> args, bool discovery = false, uid_t user = (uid_t)-1)
  {
    int pin[2], pout[2], perr[2];
    if (pipe(pin) || pipe(pout) || pipe(perr))
      return;
    pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(pin[0], 0);
      dup2(pout[1], 1);
      dup2(perr[1], 2);
      unsetenv("DISPLAY");
      if (!discovery)
        setenv("YAMMERLANE_NO_DISCOVERY", "1", 1);
      if (user != (uid_t)-1 && (setgroups(0, NULL) != 0 || setgid(user) != 0 || setuid(user) != 0))
        _exit(126);
      std::vector<char *> argv;
      argv.push_back((char *)YAMMERLANE_PATH);
      argv.push_back((char *)"--host");
      for (std::string &a : args)
        argv.push_back(&a[0]);
      argv.push_back(NULL);
      execv(YAMMERLANE_PATH, argv.data());
      _exit(127);
    }
    close(pin[0]);
    close(pout[1]);
    close(perr[1]);
    in = pin[1];
    out = pout[0];
    err = perr[0];
    fcntl(out, F_SETFL, O_NONBLOCK);
    fcntl(err, F_SETFL, O_NONBLOCK);
  }
  ~Host()
  {
    if (pid > 0 && status < 0) {
      kill(pid, SIGKILL);
      waitpid(pid, NULL, 0);
    }
    for (int fd : {in, out, err})
      if (fd >= 0)
        close(fd);
  }
  void drain()
  {
    char buf[4096];
    ssize_t n;
    while ((n = read(out, buf, sizeof buf)) > 0)
      out_text.append(buf, n);
    while ((n = read(err, buf, sizeof buf)) > 0)
      err_text.append(buf, n);
  }
  // Whether standard output shows a log line "HH:MM:SS <line>" within `ms`.
  bool logged(const std::string &line, int ms = 5000)
  {
    auto t0 = Clock::now();
    do {
      drain();
      for (size_t at = out_text.find(line); at != std::string::npos; at = out_text.find(line, at + 1))
        if (at >= 9 && out_text[at - 1] == ' ' && out_text[at - 4] == ':' &&
            (at == 9 || out_text[at - 10] == '\n') &&
            (at + line.size() == out_text.size() || out_text[at + line.size()] == '\n'))
          return true;
      usleep(10000);
    } while (ms_since(t0) < ms);
    return false;
  }
  // Whether standard output holds `text` anywhere within `ms`.
  bool shows(const std::string &text, int ms = 5000)
  {
    auto t0 = Clock::now();
    while (drain(), out_text.find(text) == std::string::npos) {
      if (ms_since(t0) > ms)
        return false;
      usleep(10000);
    }
    return true;
  }
  void type(const std::string &line)
  {
    std::string l = line + "\n";
    ASSERT_EQ((ssize_t)l.size(), write(in, l.data(), l.size()));
  }
  // The exit status within `ms`, else -1.
  int wait_exit(int ms)
  {
    auto t0 = Clock::now();
    while (ms_since(t0) < ms) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        drain();
        return status;
      }
      usleep(5000);
    }
    return -1;
  }
};

std::vector<char> packet(const char *id, std::vector<int> bytes = {}, const std::string &text = "")
{
  std::vector<char> p(PACKET_SIZE, 0);
  memcpy(p.data(), id, 4);
  size_t at = 4;
  for (int b : bytes)
    p[at++] = (char)b;
  memcpy(p.data() + at, text.data(), text.size());
  return p;
}

// A client as the chat's design has it, over a netlane conn; with a key it
// seals every packet after "Open" and "Lock" as a keyed client does.
struct Client {
  std::string name;
  NET_CONN *conn = nullptr;
  int number = 0;
  std::vector<std::string> ids;                     // every packet received, in order
  std::vector<std::pair<int, std::string>> lines;   // "Mesg": author, text
  std::vector<std::pair<int, std::string>> joins;   // "Join": number, name
  int nope = 0;
  // Keyed: the keys of each direction and their counters.
  bool keyed = false;
  unsigned char keys[2 * SEAL_KEY];
  uint64_t sent = 0, received = 0;

  explicit Client(const char *n) : name(n) {}
  ~Client()
  {
    if (conn)
      net_closeconn(conn);
  }
  std::vector<char> take(int ms)
  {
    auto t0 = Clock::now();
    char buf[PACKET_SIZE];
    do {
      int got = net_query_rdm(conn) > 0 ? net_receive_rdm(conn, buf, sizeof buf) : 0;
      if (got > 0)
        return std::vector<char>(buf, buf + got);
      usleep(2000);
    } while (ms_since(t0) < ms);
    return {};
  }
  bool connect(const char *address)
  {
    conn = net_openconn(NET_DRIVER_WSOCK_WIN, NULL);
    if (!conn || net_connect(conn, address) != 0)
      return false;
    auto t0 = Clock::now();
    while (ms_since(t0) < 5000) {
      int r = net_poll_connect(conn);
      if (r != 0)
        return r > 0;
      usleep(5000);
    }
    return false;
  }
  // "Open", the host's "Lock", both sides' keys from `key`: true when keyed.
  bool open(const char *key)
  {
    unsigned char secret[SEAL_PUBLIC], pub[SEAL_PUBLIC], k[SEAL_KEY];
    randombytes_buf(secret, sizeof secret);
    crypto_scalarmult_base(pub, secret);
    std::vector<char> o(PACKET_SIZE);
    seal_make_open(o.data(), pub);
    net_send_rdm(conn, o.data(), PACKET_SIZE);
    std::vector<char> lock = take(5000);
    if (lock.size() != PACKET_SIZE || memcmp(lock.data(), "Lock", 4) != 0)
      return false;
    const unsigned char *salt = (const unsigned char *)lock.data() + 8, *hpk = salt + SEAL_SALT;
    if (seal_derive(key, salt, k) != 0 || seal_conn_keys(k, secret, hpk, pub, hpk, keys) != 0)
      return false;
    keyed = true;
    return true;
  }
  void send(const std::vector<char> &p)
  {
    std::vector<char> out = p;
    if (keyed)
      seal_packet(out.data(), p.data(), sent++, keys);
    ASSERT_EQ(0, net_send_rdm(conn, out.data(), PACKET_SIZE));
  }
  // Takes in what came for `ms`, or until `done` holds.
  template <typename F>
  bool until(F done, int ms = 5000)
  {
    auto t0 = Clock::now();
    while (!done()) {
      if (ms_since(t0) > ms)
        return false;
      std::vector<char> p = take(10);
      if (p.empty())
        continue;
      if (keyed && memcmp(p.data(), "Nope", 4) != 0) {
        std::vector<char> inner(PACKET_SIZE);
        if (seal_unseal(inner.data(), p.data(), (int)p.size(), received, keys + SEAL_KEY) != 0) {
          ids.push_back("????");
          continue;
        }
        received++;
        p = inner;
      }
      p.resize(PACKET_SIZE);
      ids.push_back(std::string(p.data(), 4));
      std::string text(p.data() + 5, strnlen(p.data() + 5, PACKET_TEXT));
      if (ids.back() == "You!")
        number = p[4];
      if (ids.back() == "Mesg")
        lines.push_back({p[4], text});
      if (ids.back() == "Join")
        joins.push_back({p[4], std::string(p.data() + 6, strnlen(p.data() + 6, PACKET_TEXT))});
      if (ids.back() == "Nope")
        nope = p[4];
    }
    return true;
  }
  bool join(int color = 20)
  {
    send(packet("ReJo", {color}, name));
    return until([&] { return number != 0; });
  }
  bool heard(int who, const std::string &text)
  {
    return until([&] {
      for (auto &l : lines)
        if (l.first == who && l.second == text)
          return true;
      return false;
    });
  }
  bool said_bye()
  {
    return until([&] { return std::find(ids.begin(), ids.end(), "Bye!") != ids.end(); });
  }
};

std::string key_file(const char *key, mode_t mode)
{
  char path[] = "/tmp/yl_key_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0)
    return "";
  bool ok = write(fd, key, strlen(key)) == (ssize_t)strlen(key);
  fchmod(fd, mode);
  close(fd);
  return ok ? path : "";
}

/* ---- Options, the port and the key file, on loopback ---- */

TEST(ConsoleHost, BadOptionsEndWithTheHelpAndStatusTwo)
{
  std::vector<std::vector<std::string>> bad = {
    {"--port", "0"}, {"--port", "70000"}, {"--port", "12x"}, {"--name", "x"}, {"--name", "tenletters"},
    {"--color", "256"}, {"--bogus"}, {"--port"}, {"--key-file="}};
  for (auto &args : bad) {
    Host h(args);
    EXPECT_EQ(2, h.wait_exit(5000)) << args[0];
    EXPECT_NE(std::string::npos, h.err_text.find("Usage: yammerlane")) << args[0];
    EXPECT_EQ("", h.out_text) << args[0];
  }
  Host help({"--help"});
  EXPECT_EQ(0, help.wait_exit(5000));
  EXPECT_NE(std::string::npos, help.out_text.find("--key-file FILE"));
}

TEST(ConsoleHost, TakenPortEndsWithItsCauseAndStatusOne)
{
  int lock = -1;
  int port = claim_test_port(&lock);
  ASSERT_GT(port, 0);
  int taken = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons((unsigned short)port);
  ASSERT_EQ(0, bind(taken, (sockaddr *)&at, sizeof at));
  Host h({"--port", std::to_string(port)});
  EXPECT_EQ(1, h.wait_exit(5000));
  EXPECT_NE(std::string::npos,
            h.err_text.find("Error opening conn: UDP port " + std::to_string(port) + " is in use by another program"))
      << h.err_text;
  close(taken);
  close(lock);
}

TEST(ConsoleHost, KeyFileOthersMayReadIsRefusedBeforeAnythingListens)
{
  int lock = -1;
  int port = claim_test_port(&lock);
  ASSERT_GT(port, 0);
  for (mode_t mode : {0644, 0640, 0604}) {
    std::string path = key_file("four random words\n", mode);
    Host h({"--port", std::to_string(port), "--key-file", path});
    EXPECT_EQ(1, h.wait_exit(5000)) << mode;
    EXPECT_NE(std::string::npos, h.err_text.find("may be read by others than its owner")) << h.err_text;
    EXPECT_EQ("", h.out_text) << "nothing listened";
    unlink(path.c_str());
  }
  std::string empty = key_file("\n", 0600);
  Host h({"--port", std::to_string(port), "--key-file", empty});
  EXPECT_EQ(1, h.wait_exit(5000));
  EXPECT_NE(std::string::npos, h.err_text.find("1 to 40 characters")) << h.err_text;
  unlink(empty.c_str());
  close(lock);
}

// A service manager lends a key to a service's own user through an access
// list (its group bits then show the list's mask): that user reads it, and
// anybody else whom a list lets read it makes it refused.
TEST(ConsoleHost, KeyLentByAnAccessListIsReadOnlyByTheUserItIsLentTo)
{
  if (geteuid() != 0)
    GTEST_SKIP() << "runs the host as another user: needs root";
  int lock = -1;
  int port = claim_test_port(&lock);
  ASSERT_GT(port, 0);
  const uid_t service = 65534;
  std::string path = key_file("four random words\n", 0600);
  auto lend_to = [&](uint32_t uid) {
    // Version 2; entries of tag, permissions, id: the owner rw, `uid` r,
    // the owning group nothing, the mask r, everybody else nothing.
    const uint32_t none = 0xffffffffu;
    struct { uint16_t tag, perm; uint32_t id; } entries[5] = {
      {0x01, 6, none}, {0x02, 4, uid}, {0x04, 0, none}, {0x10, 4, none}, {0x20, 0, none}};
    std::vector<unsigned char> acl(4 + sizeof entries);
    acl[0] = 2;
    memcpy(acl.data() + 4, entries, sizeof entries);
    return setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
  };
  if (!lend_to(service))
    GTEST_SKIP() << "no access lists on this file system";
  {
    Host h({"--port", std::to_string(port), "--key-file", path}, false, service);
    EXPECT_TRUE(h.shows(" port " + std::to_string(port) + "\n")) << h.err_text;
    kill(h.pid, SIGTERM);
    EXPECT_EQ(0, h.wait_exit(2000));
  }
  Host owner({"--port", std::to_string(port), "--key-file", path});
  EXPECT_EQ(1, owner.wait_exit(5000)) << "the list lets another user read it";
  EXPECT_NE(std::string::npos, owner.err_text.find("may be read by others than its owner")) << owner.err_text;
  unlink(path.c_str());
  close(lock);
}

TEST(ConsoleHost, ClientsInAPrivateNetwork)
{
  if (inside())
    GTEST_SKIP() << "already inside the private namespace";
  if (system("unshare --net true >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "unshare --net is not permitted here: the clients' cases not run";
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = 0;
  std::string cmd = std::string("unshare --net sh -c 'ip link set lo up && ") + inside_flag + "=1 exec " + self +
                    " --gtest_filter=ConsoleHostInside.*'";
  EXPECT_EQ(0, system(cmd.c_str()));
}

/* ---- Inside the namespace: the default ports are this test's own ---- */

class ConsoleHostInside : public testing::Test {
 protected:
  void SetUp() override
  {
    if (!inside())
      GTEST_SKIP() << "runs only inside the private namespace";
    ASSERT_EQ(0, net_init());
    net_loadconfig(NULL);
    ASSERT_EQ(1, net_initdriver(NET_DRIVER_WSOCK_WIN));
    ASSERT_GE(sodium_init(), 0);
  }
  // Waits until the host's log says it listens.
  void listening(Host &h) { ASSERT_TRUE(h.logged("Server: Others can join at 127.0.0.1 port 24785")) << h.err_text; }
};

TEST_F(ConsoleHostInside, TwoClientsTalkThroughTheHostWhichEndsTheChatOnTerm)
{
  Host h({"--name", "keeper", "--color", "40"}, true);
  listening(h);
  Client alice("Alice"), bobby("Bobby");
  ASSERT_TRUE(alice.connect("127.0.0.1"));
  ASSERT_TRUE(alice.join());
  ASSERT_TRUE(bobby.connect("127.0.0.1:24785"));
  ASSERT_TRUE(bobby.join(30));
  EXPECT_EQ(2, alice.number);
  EXPECT_EQ(3, bobby.number);
  for (Client *c : {&alice, &bobby})
    EXPECT_EQ(std::make_pair(1, std::string("keeper")), c->joins.at(0));
  EXPECT_TRUE(h.logged("Alice: Im the new guy!"));
  EXPECT_TRUE(h.logged("Server: A new user joined the chat"));

  // Discovery answers as a screen host's: name, users, port.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(DISCOVERY_PORT);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  unsigned char q[DISCOVERY_QUERY_SIZE], a[64];
  discovery_make_query(q, 77);
  ASSERT_EQ((ssize_t)sizeof q, sendto(s, q, sizeof q, 0, (sockaddr *)&to, sizeof to));
  pollfd p = {s, POLLIN, 0};
  ASSERT_EQ(1, poll(&p, 1, 3000));
  chat_found found;
  ASSERT_EQ(0, discovery_read_answer(a, (int)recv(s, a, sizeof a, 0), 77, &found));
  EXPECT_STREQ("keeper", found.name);
  EXPECT_EQ(3, found.users);
  EXPECT_EQ(24785, found.port);
  close(s);

  alice.send(packet("Mesg", {2}, "hello bobby"));
  EXPECT_TRUE(bobby.heard(2, "hello bobby"));
  EXPECT_TRUE(h.logged("Alice: hello bobby"));
  h.type("hello both of you");
  EXPECT_TRUE(h.logged("keeper: hello both of you"));
  for (Client *c : {&alice, &bobby})
    EXPECT_TRUE(c->heard(1, "hello both of you"));
  EXPECT_EQ(0, std::count(alice.lines.begin(), alice.lines.end(), std::make_pair(2, std::string("hello bobby"))))
      << "the author has its own echo";
  // A line past 54 characters is cut to them, with a note; the packet's
  // text window carries 50 of those.
  std::string longer(70, 'x');
  h.type(longer);
  EXPECT_TRUE(h.logged("keeper: " + longer.substr(0, 54)));
  EXPECT_TRUE(bobby.heard(1, longer.substr(0, PACKET_TEXT)));
  EXPECT_NE(std::string::npos, h.err_text.find("was cut")) << h.err_text;

  auto t0 = Clock::now();
  kill(h.pid, SIGTERM);
  EXPECT_EQ(0, h.wait_exit(2000));
  EXPECT_LT(ms_since(t0), 2000);
  EXPECT_TRUE(alice.said_bye());
  EXPECT_TRUE(bobby.said_bye());
}

TEST_F(ConsoleHostInside, KeyedHostAdmitsTheRightKeyAndRefusesAWrongOne)
{
  std::string path = key_file("four random words\nsecond line is no key\n", 0600);
  Host h({"--key-file", path});
  listening(h);

  Client carol("Carol");
  ASSERT_TRUE(carol.connect("127.0.0.1"));
  ASSERT_TRUE(carol.open("four random words"));
  ASSERT_TRUE(carol.join());
  EXPECT_EQ(2, carol.number);
  EXPECT_EQ(std::make_pair(1, std::string("host")), carol.joins.at(0));
  h.type("sealed hello");
  EXPECT_TRUE(carol.heard(1, "sealed hello"));
  EXPECT_EQ(0, std::count(carol.ids.begin(), carol.ids.end(), "????"));

  Client mallory("Mallory");
  ASSERT_TRUE(mallory.connect("127.0.0.1"));
  ASSERT_TRUE(mallory.open("four random WORDS"));
  mallory.send(packet("ReJo", {20}, "Mallory"));
  EXPECT_TRUE(mallory.until([&] { return mallory.nope != 0; }));
  EXPECT_EQ(NOPE_WRONG_KEY, mallory.nope);
  EXPECT_EQ(0, mallory.number);

  kill(h.pid, SIGINT);
  EXPECT_EQ(0, h.wait_exit(2000));
  EXPECT_TRUE(carol.said_bye());
  unlink(path.c_str());
}

}  // namespace
