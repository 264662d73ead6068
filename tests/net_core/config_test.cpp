// The configuration file: finding it, handing it to the drivers in order,
// and every syntax rule of the section and setting readers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "internal.h"
#include "recorder.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Settings;

// Every setting of `section` in `text`; "(none)" alone when it is missing.
Settings read_section(const std::string &text, const char *section)
{
  ScratchDir dir;
  std::string file = dir.write("netlane.cfg", text);
  FILE *fp = fopen(file.c_str(), "r");
  if (!fp) return {{"(unopened)", ""}};
  Settings out;
  if (__netlane_internal__seek_section(fp, section) != 0) {
    out.push_back({"(none)", ""});
  } else {
    char *key, *value;
    for (int i = 0; i < 100 && __netlane_internal__get_setting(fp, &key, &value) == 0; i++)
      out.push_back({key, value});
  }
  fclose(fp);
  return out;
}

const Settings kNone = {{"(none)", ""}};

}  // namespace

TEST(ConfigSyntax, KeysAndValuesAreTrimmedAndSplitAtTheFirstEquals)
{
  EXPECT_EQ(read_section("[s]\n \t key \t=  some value \t\n"
                         "empty=\n"
                         "=novalue\n"
                         "url = a = b \n",
                         "s"),
            (Settings{{"key", "some value"}, {"empty", ""}, {"", "novalue"}, {"url", "a = b"}}));
}

TEST(ConfigSyntax, CommentsOnlyInTheFirstColumn)
{
  EXPECT_EQ(read_section("[s]\n#port=1\n #port=2\n\nno equals here\nport=3\n", "s"),
            (Settings{{"#port", "2"}, {"port", "3"}}));
}

TEST(ConfigSyntax, HeadersMatchExactly)
{
  EXPECT_EQ(read_section("[S]\na=1\n", "s"), kNone);
  EXPECT_EQ(read_section("[s] \na=1\n", "s"), kNone);
  EXPECT_EQ(read_section(" [s]\na=1\n", "s"), kNone);
  EXPECT_EQ(read_section("[s]x\na=1\n", "s"), kNone);
  EXPECT_EQ(read_section("a=0\n[t]\nb=1\n", "s"), kNone);  // lines before a header belong nowhere
  EXPECT_EQ(read_section("[s]", "s"), kNone);               // a last line without newline is no header
}

TEST(ConfigSyntax, SectionsEndAtTheNextHeader)
{
  const std::string text = "[a]\nx=1\n[b]\ny=2\n[c=d]\nw=4\n[a]\nz=3\n";
  EXPECT_EQ(read_section(text, "a"), (Settings{{"x", "1"}}));  // a second [a] is never reached
  EXPECT_EQ(read_section(text, "b"), (Settings{{"y", "2"}, {"[c", "d]"}, {"w", "4"}}));  // "[" with "=" is a setting
}

TEST(ConfigSyntax, LastLineWithoutNewlineIsStillRead)
{
  EXPECT_EQ(read_section("[s]\na=1\nb = 2", "s"), (Settings{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(read_section("[s]\na=1\n#b=2", "s"), (Settings{{"a", "1"}}));
}

TEST(ConfigSyntax, CrLfLineEndsReadAsNewlines)
{
  EXPECT_EQ(read_section("[t]\r\nq=0\r\n[s]\r\na = 1\r\n", "s"), (Settings{{"a", "1"}}));
}

TEST(ConfigSyntax, OverlongLinesAreDroppedWhole)
{
  const std::string huge(2000, 'k');
  EXPECT_EQ(read_section("[s]\n" + huge + "=v\na=1\n", "s"), (Settings{{"a", "1"}}));
  EXPECT_EQ(read_section("[s]\n" + std::string(1023, 'k') + "\na=1\n", "s"), (Settings{{"a", "1"}}));
  // A header after an overlong line is still found.
  EXPECT_EQ(read_section(huge + "\n[s]\na=1\n", "s"), (Settings{{"a", "1"}}));
  // 1022 characters and the newline are the longest line that is kept, and
  // the line after it is read as well.
  const std::string longest = "k=" + std::string(1020, 'v');
  EXPECT_EQ(read_section("[s]\n" + longest + "\na=1\n", "s"),
            (Settings{{"k", std::string(1020, 'v')}, {"a", "1"}}));
  EXPECT_EQ(read_section("[s]\n" + huge, "s"), Settings{});
  // An overlong line whose rest is again 1022 characters and the newline
  // ends there: the line after it is read.
  EXPECT_EQ(read_section("[s]\n" + std::string(1023 + 1022, 'k') + "\na=1\n", "s"), (Settings{{"a", "1"}}));
}

TEST(ConfigSyntax, MissingArgumentsGiveNoSetting)
{
  char *key, *value;
  EXPECT_EQ(__netlane_internal__get_setting(nullptr, &key, &value), 1);
  EXPECT_EQ(__netlane_internal__seek_section(nullptr, "s"), 1);
  ScratchDir dir;
  FILE *fp = fopen(dir.write("f", "[s]\na=1\n").c_str(), "r");
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(__netlane_internal__seek_section(fp, "s"), 0);
  EXPECT_EQ(__netlane_internal__get_setting(fp, nullptr, &value), 1);
  EXPECT_EQ(__netlane_internal__get_setting(fp, &key, nullptr), 1);
  EXPECT_EQ(__netlane_internal__seek_section(fp, std::string(2000, 's').c_str()), 1);
  fclose(fp);
}

class LoadConfig : public ::testing::Test {
 protected:
  void SetUp() override
  {
    rec = Recorder();
    ASSERT_EQ(net_init(), 0);
    a.load_config = load_a;
    ASSERT_EQ(net_register_driver(20, &b), 20);
    ASSERT_EQ(net_register_driver(16, &a), 16);
  }
  void TearDown() override { net_shutdown(); }

  // Reads its own section the way the drivers do.
  static void load_a(NET_DRIVER *, FILE *fp)
  {
    char *key, *value;
    if (__netlane_internal__seek_section(fp, "a") != 0) return;
    while (__netlane_internal__get_setting(fp, &key, &value) == 0)
      rec.log.push_back(std::string("a: ") + key + "=" + value);
  }

  NET_DRIVER a = recording_driver(), b = recording_driver();
  ScratchDir dir;
};

TEST_F(LoadConfig, EveryDriverReadsTheFileInNumberOrder)
{
  std::string file = dir.write("my.cfg", "[b]\nk=0\n[a]\nk = 1\n");
  ASSERT_EQ(net_loadconfig(file.c_str()), 0);
  EXPECT_EQ(rec.log, (std::vector<std::string>{"load_conn_config conns", "a: k=1",
                                               "load_conn_config conns", "load_config"}));
}

TEST_F(LoadConfig, DirectoriesAndMissingPaths)
{
  dir.write("netlane.cfg", "[a]\nk=dir\n");
  ASSERT_EQ(net_loadconfig(dir.path.c_str()), 0);
  EXPECT_EQ(rec.log[1], "a: k=dir");

  rec.log.clear();
  EXPECT_EQ(net_loadconfig((dir.path + "/missing.cfg").c_str()), 1);
  EXPECT_EQ(net_loadconfig(std::string(5000, 'x').c_str()), 1);  // too long to name anything
  ScratchDir empty;
  EXPECT_EQ(net_loadconfig(empty.path.c_str()), 2);  // a directory without netlane.cfg
  EXPECT_TRUE(rec.log.empty());
}

TEST_F(LoadConfig, OnlyRegularFilesUpTo1MBAreRead)
{
  // Each of these once answered 0, read for ever or blocked in the open.
  ScratchDir nested;
  ASSERT_EQ(mkdir((nested.path + "/netlane.cfg").c_str(), 0700), 0);
  EXPECT_EQ(net_loadconfig(nested.path.c_str()), 2);
  std::string zero = dir.path + "/zero.cfg", fifo = dir.path + "/fifo.cfg";
  ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
  EXPECT_EQ(net_loadconfig(zero.c_str()), 2);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(net_loadconfig(fifo.c_str()), 2);
  std::string big = "[a]\nk=big\n" + std::string(1024 * 1024 - 10, '#');
  EXPECT_EQ(net_loadconfig(dir.write("big.cfg", big + "#").c_str()), 2);
  EXPECT_TRUE(rec.log.empty());

  EXPECT_EQ(net_loadconfig(dir.write("1mb.cfg", big).c_str()), 0);
  EXPECT_EQ(rec.log[1], "a: k=big");
  // An editor's UTF-8 byte-order mark does not hide the first header.
  rec.log.clear();
  EXPECT_EQ(net_loadconfig(dir.write("bom.cfg", "\xEF\xBB\xBF[a]\nk=bom\n").c_str()), 0);
  EXPECT_EQ(rec.log[1], "a: k=bom");
}

TEST_F(LoadConfig, NullReadsNetlaneCfgInTheWorkingDirectory)
{
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ScratchDir empty;
  ASSERT_EQ(chdir(empty.path.c_str()), 0);
  EXPECT_EQ(net_loadconfig(nullptr), 2);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  dir.write("netlane.cfg", "[a]\nk=cwd\n");
  EXPECT_EQ(net_loadconfig(nullptr), 0);
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(rec.log[1], "a: k=cwd");
}
