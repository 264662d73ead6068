// Hostile configuration files: seeded files of headers, settings, comments,
// blank and junk lines, lines around the 1023-character limit and far past
// it, lone and paired CRs, NUL bytes and a missing last newline. The
// section and setting readers must give exactly what the file's rules
// say (a reference reader below, written from those rules), and
// net_loadconfig must leave every driver's conn settings usable.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "config_rules.h"
#include "connhelp.h"
#include "fuzz_util.h"
#include "internal.h"
#include "netlane.h"

namespace {

using namespace config_rules;

const char *const kSections[] = {"s", "t", "internet", "conns", "winsock_win"};
const char *const kKeys[] = {"a", "port", "ip", "disable", "forceport", "conn_outqueue_size",
                             "conn_inqueue_size", "conn_resend_rate", "#a", "[s", ""};
const char *const kValues[] = {"0", "1", "-1", "16", "20", "24785", "65536", "1073741824", "1073741825",
                               "2147483648", "4294967296", "-4294967296", "99999999999999999999999",
                               "12abc", "yes", "", " = x = ", "10.0.0.1", "1.2.3.4.5.6"};

std::string blanks(Fuzz &f)
{
  std::string out;
  int n = (int)f.below(3);
  for (int i = 0; i < n; i++) out += f.of(std::string(" \t\v\f\r", 5));
  return out;
}

// One line without its end.
std::string random_line(Fuzz &f)
{
  const char *section = kSections[f.below(5)];
  switch (f.below(12)) {
    case 0:
    case 1: return std::string("[") + section + "]";
    case 2: {  // a header that is not quite one
      const std::string bad[] = {std::string("[") + section + "] ", std::string(" [") + section + "]",
                                 std::string("[") + section, std::string("[") + section + "]=1",
                                 std::string("[S]"), std::string("[") + section + "]x"};
      return bad[f.below(6)];
    }
    case 3: return std::string(f.chance(50) ? "#" : " #") + kKeys[f.below(11)] + "=1";
    case 4: return f.chance(50) ? "" : "just words";
    case 5: {  // around and past the limit
      const int lengths[] = {kLongest - 1, kLongest, kLongest + 1, kLongest + 2, 2046, 2047, 2048, 3000};
      int len = lengths[f.below(8)];
      std::string line = f.chance(50) ? "[" : "k=";
      while ((int)line.size() < len) line += f.of("abcxyz=[# ");
      line.resize((size_t)len);
      return line;
    }
    case 6: {  // junk bytes, NULs and CRs among them, no newline
      std::string line;
      int len = (int)f.below(f.chance(20) ? 2100 : 60);
      for (int i = 0; i < len; i++) {
        char c = (char)f.byte();
        line += c == '\n' ? '=' : c;
      }
      return line;
    }
    default: {
      std::string line = blanks(f) + kKeys[f.below(11)] + blanks(f) + "=" + blanks(f) + kValues[f.below(19)] +
                         blanks(f);
      if (f.chance(5)) line.insert(f.below((unsigned int)line.size() + 1), 1, '\0');
      if (f.chance(5)) line.insert(f.below((unsigned int)line.size() + 1), 1, '\r');
      return line;
    }
  }
}

std::string random_file(Fuzz &f)
{
  std::string text;
  int lines = (int)f.below(40);
  for (int i = 0; i < lines; i++) {
    std::string line = random_line(f);
    // Now and then a NUL inside an overlong line: it must still be dropped whole.
    if (line.size() > 1100 && f.chance(30)) line[f.below(1000)] = '\0';
    text += line;
    if (i + 1 < lines || f.chance(50)) text += f.chance(20) ? "\r\n" : "\n";
  }
  return text;
}

std::string write_temp(const std::string &text)
{
  char path[] = "/tmp/fuzz_cfg_XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return "";
  bool ok = write(fd, text.data(), text.size()) == (ssize_t)text.size();
  close(fd);
  return ok ? path : "";
}

std::string shown(const std::string &file)
{
  std::string out;
  for (unsigned char c : file.substr(0, 400)) {
    if (c == '\n') out += "\\n\n";
    else if (c < 32 || c > 126) out += "\\x" + std::to_string(c);
    else out += (char)c;
  }
  return out;
}

TEST(ConfigFuzz, ReadersFollowTheFileRules)
{
  Fuzz f(4242);
  Budget budget(15);
  int found = 0, files = 0;
  for (int round = 0; round < 3000 && budget.left(); round++, files++) {
    std::string text = random_file(f);
    std::string path = write_temp(text);
    ASSERT_FALSE(path.empty());
    FILE *fp = fopen(path.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    // Sections in a random order, each searched from the start again.
    for (int n = 0; n < 3; n++) {
      std::string section = kSections[f.below(5)];
      Settings want = expected_settings(text, section);
      Settings got = actual_settings(fp, section);
      if (want.empty() || want[0].first != "(none)") found++;
      ASSERT_EQ(got, want) << "round " << round << " section [" << section << "] of:\n" << shown(text);
    }
    fclose(fp);
    unlink(path.c_str());
  }
  EXPECT_GT(found, files / 4);
}

TEST(ConfigFuzz, LoadingLeavesUsableConnSettings)
{
  ASSERT_EQ(net_init(), 0);
  Fuzz f(777);
  Budget budget(15);
  for (int round = 0; round < 1500 && budget.left(); round++) {
    std::string path = write_temp(random_file(f));
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(net_loadconfig(path.c_str()), 0);
    unlink(path.c_str());
    for (int n = 1; n <= 31; n++) {
      NET_DRIVER *drv = __netlane_internal__get_driver(n);
      if (!drv || !drv->load_conn_config) continue;
      const conn_config *cfg = __netlane_internal__get_conn_config(drv);
      for (int size : {cfg->outqueue_size, cfg->inqueue_size}) {
        ASSERT_GE(size, 1) << "driver " << n << " round " << round;
        ASSERT_LE(size, CONN_MAX_QUEUE_SIZE);
        ASSERT_EQ(size & (size - 1), 0) << size << " is no power of two";
      }
      ASSERT_NE(cfg->resend_rate, 0);
    }
  }
  // Names too long for the reader's buffers are refused, not overrun.
  std::string name(5000, 'n');
  EXPECT_EQ(net_loadconfig(name.c_str()), 1);
  FILE *fp = tmpfile();
  ASSERT_NE(fp, nullptr);
  EXPECT_EQ(__netlane_internal__seek_section(fp, name.c_str()), 1);
  fclose(fp);
  net_shutdown();
}

}  // namespace
