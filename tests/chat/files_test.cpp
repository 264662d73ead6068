// Files sent to the chat: the saved names, the host's routing of parts to
// takers only, and what is left on disk when a file goes wrong.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sodium.h>
#include <stdlib.h>
#include <string.h>
#include "chat_fixture.h"
#include "files.h"
#include "packet.h"
#include "rules.h"

namespace {

namespace fs = std::filesystem;

std::vector<char> offer(int from, int number, const std::string &data, const char *name)
{
  std::vector<char> p(PACKET_SIZE, 0);
  memcpy(p.data(), "Offr", 4);
  p[4] = (char)from;
  p[5] = (char)number;
  for (int i = 0; i < 6; i++)
    p[6 + i] = (char)((uint64_t)data.size() >> (8 * i));
  crypto_generichash((unsigned char *)p.data() + 12, 32, (const unsigned char *)data.data(), data.size(), NULL, 0);
  memcpy(p.data() + 44, name, strlen(name));
  return p;
}

std::vector<char> part(int from, int number, int taker, uint64_t offset, const std::string &data)
{
  std::vector<char> p(PACKET_SIZE, 0);
  memcpy(p.data(), "Part", 4);
  p[4] = (char)from;
  p[5] = (char)number;
  p[6] = (char)taker;
  for (int i = 0; i < 6; i++)
    p[7 + i] = (char)(offset >> (8 * i));
  p[13] = (char)(data.size() & 0xff);
  p[14] = (char)(data.size() >> 8);
  EXPECT_LE(data.size(), (size_t)(PACKET_SIZE - PART_HEAD));
  memcpy(p.data() + PART_HEAD, data.data(), std::min(data.size(), (size_t)(PACKET_SIZE - PART_HEAD)));
  return p;
}

class FileRules : public ChatTest {
 protected:
  void SetUp() override
  {
    ChatTest::SetUp();
    char dir[] = "/tmp/yl_files_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    base = dir;
    setenv("XDG_DOWNLOAD_DIR", base.c_str(), 1);
    strcpy(user[1].name, "Hosty");
    files_host_users(client_user);
    accept_clients(3);
    const char *names[3] = {"Alice", "Bob", "Carol"};
    for (int i = 0; i < 3; i++)
      host_gets(i, packet("ReJo", {20}, names[i]));
    for (auto &f : fakes)
      f.sent.clear();
    events();
  }
  void TearDown() override
  {
    files_end();
    unsetenv("XDG_DOWNLOAD_DIR");
    fs::remove_all(base);
    ChatTest::TearDown();
  }
  std::vector<std::string> saved() const
  {
    std::vector<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(base))
      out.push_back(e.path().filename().string());
    return out;
  }
  std::string base;
};

TEST(FileNames, AreMadeSafeShortAndFree)
{
  char out[FILE_NAME_MAX + 1];
  safe_file_name("../../.bashrc", out);
  EXPECT_STREQ("_._.__.bashrc", out);
  safe_file_name("a\nb\x7f/c\\d", out);
  EXPECT_STREQ("a_b__c_d", out);
  safe_file_name("", out);
  EXPECT_STREQ("file", out);
  std::string longname(298, 'x');
  safe_file_name((longname + "\xc3\xa9").c_str(), out);
  EXPECT_EQ(std::string(100, 'x'), out);
  safe_file_name((std::string(99, 'y') + "\xc3\xa9").c_str(), out);
  EXPECT_EQ(std::string(99, 'y'), out) << "half a character is not kept";

  char dir[] = "/tmp/yl_names_XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  char path[FILE_PATH_SIZE];
  ASSERT_EQ(0, free_file_path(dir, "a.txt", path));
  EXPECT_EQ(std::string(dir) + "/a.txt", path);
  std::ofstream(std::string(dir) + "/a.txt") << "x";
  std::ofstream(std::string(dir) + "/a (1).txt.part") << "x";
  ASSERT_EQ(0, free_file_path(dir, "a.txt", path));
  EXPECT_EQ(std::string(dir) + "/a (2).txt", path);
  std::string hundred(100, 'z');
  std::ofstream(std::string(dir) + "/" + hundred) << "x";
  ASSERT_EQ(0, free_file_path(dir, hundred.c_str(), path));
  EXPECT_EQ(std::string(dir) + "/" + std::string(96, 'z') + " (1)", path);
  fs::remove_all(dir);
}

TEST_F(FileRules, OffersGoToEveryoneAndPartsOnlyToTakers)
{
  // Alice (conn 0, user 2) offers, claiming to be user 5: credited to her.
  host_gets(0, offer(5, 7, "hello!", "notes.txt"));
  ASSERT_EQ(0u, fakes[0].sent.size());
  for (int i : {1, 2}) {
    ASSERT_EQ(1u, fakes[i].sent.size());
    EXPECT_EQ("Offr", id_of(fakes[i].sent[0]));
    EXPECT_EQ(2, byte_of(fakes[i].sent[0], 0));
  }
  EXPECT_EQ("post 0 Server: Alice offers notes.txt (6 B): F7 takes it", events().at(0));

  // Bob (user 3) takes it: the take goes to Alice with Bob as the taker.
  host_gets(1, packet("Take", {2, 7, 9}));
  ASSERT_EQ(1u, fakes[0].sent.size());
  EXPECT_EQ("Take", id_of(fakes[0].sent[0]));
  EXPECT_EQ(3, byte_of(fakes[0].sent[0], 2));

  // A part for Bob reaches Bob whole; one for Carol, who took nothing, nobody.
  host_gets(0, part(2, 7, 4, 0, "hello"));
  host_gets(0, part(2, 7, 3, 0, "hello"));
  files_step(1);
  EXPECT_EQ(1u, fakes[1].sent.size() - 1);
  EXPECT_EQ("Part", id_of(fakes[1].sent.back()));
  EXPECT_EQ(0, memcmp(fakes[1].sent.back().data() + PART_HEAD, "hello", 5));
  EXPECT_EQ(1u, fakes[2].sent.size());

  // Bob's window is full: the part waits at the host and Alice is not read.
  fakes[1].room = 0;
  host_gets(0, part(2, 7, 3, 5, "!"));
  host_gets(0, packet("Mesg", {2}, "later"));
  EXPECT_EQ(1u, fakes[0].inbox.size());
  fakes[1].room = 10;
  files_step(1);
  host_receive();
  EXPECT_EQ("Part", id_of(fakes[1].sent[2]));
  EXPECT_EQ("Mesg", id_of(fakes[1].sent[3]));
  // The last part ended the route: nothing more passes for that take.
  host_gets(0, part(2, 7, 3, 6, "z"));
  files_step(1);
  EXPECT_EQ(4u, fakes[1].sent.size());
}

TEST_F(FileRules, TheHostSavesAGoodFileAndNothingOfATamperedOne)
{
  std::string data(2000, 'q');
  host_gets(0, offer(2, 1, data, "../../.bashrc"));
  ASSERT_EQ(FILE_OK, file_take_newest(1));
  EXPECT_EQ("Take", id_of(fakes[0].sent.back()));
  host_gets(0, part(2, 1, 1, 0, data.substr(0, 1000)));
  host_gets(0, part(2, 1, 1, 1000, data.substr(1000)));
  fs::path got = fs::path(base) / "Yammerlane" / "_._.__.bashrc";
  std::ifstream in(got);
  ASSERT_TRUE(in) << "saved inside the folder under a safe name";
  EXPECT_EQ(data, std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_EQ(0700u, (unsigned)fs::status(fs::path(base) / "Yammerlane").permissions() & 0777);

  // The same offer again, with a part changed on the way: nothing stays.
  host_gets(0, offer(2, 2, data, "../../.bashrc"));
  ASSERT_EQ(FILE_OK, file_take_newest(1));
  data[10] = 'X';
  host_gets(0, part(2, 2, 1, 0, data.substr(0, 1000)));
  host_gets(0, part(2, 2, 1, 1000, data.substr(1000)));
  EXPECT_EQ(std::vector<std::string>({"Yammerlane", "_._.__.bashrc"}), saved());
  auto lines = events();
  EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(),
                                   "post 0 Server: ../../.bashrc not saved: its contents do not match the offer"));
  // A part out of place ends the take at once and tells the sender.
  host_gets(0, offer(2, 3, data, "c"));
  ASSERT_EQ(FILE_OK, file_take_newest(1));
  host_gets(0, part(2, 3, 1, 500, data.substr(0, 10)));
  EXPECT_EQ("Drop", id_of(fakes[0].sent.back()));
  EXPECT_EQ(std::vector<std::string>({"Yammerlane", "_._.__.bashrc"}), saved());
  EXPECT_EQ(FILE_NO_OFFER, file_take_newest(1));
}

TEST_F(FileRules, ASenderLeavingHalfWayLeavesNoPartialFileAndTakersAreTold)
{
  std::string data(2000, 'w');
  host_gets(0, offer(2, 1, data, "big.bin"));
  host_gets(1, packet("Take", {2, 1, 3}));
  ASSERT_EQ(FILE_OK, file_take_newest(1));
  host_gets(0, part(2, 1, 1, 0, data.substr(0, 1000)));
  EXPECT_EQ(2u, saved().size()) << "the .part is there while it comes";
  fakes[1].sent.clear();
  host_gets(0, packet("Bye!"));
  EXPECT_EQ(std::vector<std::string>({"Yammerlane"}), saved());
  ASSERT_FALSE(fakes[1].sent.empty());
  EXPECT_EQ("Drop", id_of(fakes[1].sent[0]));

  // Refused with a line: bigger than max_file_mb, read from [chat].
  host_gets(1, offer(3, 1, std::string(2 * 1024 * 1024, 'b'), "b"));
  std::string cfg = base + "/netlane.cfg";
  std::ofstream(cfg) << "[internet]\nmax_file_mb = 9\n[chat]\nmax_file_mb = 1\n";
  files_load_config(cfg.c_str());
  EXPECT_EQ(1, max_file_mb);
  EXPECT_EQ(FILE_TOO_BIG, file_take_newest(1));
  EXPECT_EQ("post 0 Server: Not taken: b is larger than max_file_mb", events().back());
  files_load_config("/nonexistent/netlane.cfg");
  EXPECT_EQ(256, max_file_mb);
}

}  // namespace

namespace {

class FileClient : public FileRules {};

TEST_F(FileClient, AnOfferedFileGoesOutWholeToEachTakerAndIsSavedAtATakingClient)
{
  // This side as a client, user 4; the host is its only conn.
  Server_exit();
  client_num = 0;
  connect_client();
  my_number = 4;
  std::string data(2500, 0);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = (char)(i * 7);
  std::string path = base + "/out.bin";
  std::ofstream(path, std::ios::binary) << data;
  ASSERT_EQ(FILE_OK, file_offer(path.c_str(), 2));
  ASSERT_EQ("Offr", id_of(host.sent.back()));
  EXPECT_EQ(FILE_NOT_REGULAR, file_offer(base.c_str(), 2));

  // Users 2 and 3 take it: each gets its own copy, in order, whole.
  client_gets(packet("Take", {4, 0, 2}));
  client_gets(packet("Take", {4, 0, 3}));
  host.sent.clear();
  files_step(2);
  std::string copy[2];
  for (const auto &p : host.sent) {
    ASSERT_EQ("Part", id_of(p));
    int taker = byte_of(p, 2);
    int length = (unsigned char)p[13] | (unsigned char)p[14] << 8;
    copy[taker - 2].append(p.data() + PART_HEAD, length);
  }
  EXPECT_EQ(data, copy[0]);
  EXPECT_EQ(data, copy[1]);

  // Taking another's offer: saved whole, and the take goes to the host.
  client_gets(offer(2, 0, data, "in.bin"));
  ASSERT_EQ(FILE_OK, file_take_newest(2));
  EXPECT_EQ("Take", id_of(host.sent.back()));
  EXPECT_EQ(4, byte_of(host.sent.back(), 2));
  for (const auto &p : std::vector<std::vector<char>>(host.sent.begin(), host.sent.end() - 1))
    if (byte_of(p, 2) == 2)
      client_gets(std::vector<char>(p.begin(), p.end()));
  EXPECT_FALSE(fs::exists(fs::path(base) / "Yammerlane" / "in.bin")) << "parts for another user are not ours";
  host.sent.clear();
  client_gets(part(2, 0, 4, 0, data.substr(0, 1000)));
  client_gets(part(2, 0, 4, 1000, data.substr(1000, 1000)));
  client_gets(part(2, 0, 4, 2000, data.substr(2000)));
  std::ifstream in(fs::path(base) / "Yammerlane" / "in.bin", std::ios::binary);
  EXPECT_EQ(data, std::string(std::istreambuf_iterator<char>(in), {}));
  // An empty file is saved at once: no part will come.
  client_gets(offer(2, 1, "", "empty"));
  ASSERT_EQ(FILE_OK, file_take_newest(2));
  EXPECT_TRUE(fs::exists(fs::path(base) / "Yammerlane" / "empty"));

  // F8 stops a file coming in (the sender is told, no .part stays), then
  // withdraws the own offer: its copy ends and a later take gets "Drop".
  client_gets(offer(2, 2, data, "stopped.bin"));
  ASSERT_EQ(FILE_OK, file_take_newest(2));
  client_gets(part(2, 2, 4, 0, data.substr(0, 1000)));
  ASSERT_EQ(FILE_OK, file_stop_newest(2));
  EXPECT_EQ("Drop", id_of(host.sent.back()));
  EXPECT_EQ(2, byte_of(host.sent.back(), 0));
  EXPECT_FALSE(fs::exists(fs::path(base) / "Yammerlane" / "stopped.bin.part"));
  client_gets(packet("Take", {4, 0, 5}));
  ASSERT_EQ(FILE_OK, file_stop_newest(2));
  EXPECT_EQ("post 0 Server: You no longer offer out.bin", events().back());
  EXPECT_EQ("Drop", id_of(host.sent.back()));
  host.sent.clear();
  files_step(2);
  EXPECT_TRUE(host.sent.empty()) << "the withdrawn copy sends nothing more";
  client_gets(packet("Take", {4, 0, 3}));
  ASSERT_EQ(1u, host.sent.size());
  EXPECT_EQ("Drop", id_of(host.sent[0]));
  EXPECT_EQ(FILE_NO_OFFER, file_stop_newest(2));
}

}  // namespace
