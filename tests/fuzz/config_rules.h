// The configuration file's reading rules written out again from their
// description, independent of the library's code, and the library's
// readers run over a whole section: the oracle of the seeded config fuzz
// test and of its libFuzzer target.
#ifndef FUZZ_CONFIG_RULES_H
#define FUZZ_CONFIG_RULES_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace config_rules {

typedef std::vector<std::pair<std::string, std::string>> Settings;

const int kLongest = 1022;  // characters of the longest line kept, without its newline

inline bool blank(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline std::string trimmed(const std::string &s)
{
  size_t a = 0, b = s.size();
  while (a < b && blank(s[a])) a++;
  while (b > a && blank(s[b - 1])) b--;
  return s.substr(a, b - a);
}

// The reference reader. A physical line of 1023 characters or more
// (without its newline) is dropped whole, NUL bytes or not; a kept line
// reads as a C text (up to its first NUL), CR LF as a newline.
struct Line {
  bool dropped;
  std::string text;
};

inline std::vector<Line> lines_of(const std::string &file)
{
  std::vector<Line> out;
  size_t at = 0;
  while (at < file.size()) {
    size_t nl = file.find('\n', at);
    bool has_nl = nl != std::string::npos;
    size_t end = has_nl ? nl : file.size();
    std::string raw = file.substr(at, end - at);
    at = has_nl ? nl + 1 : file.size();
    if (raw.size() > (size_t)kLongest) {
      out.push_back({true, ""});
      continue;
    }
    size_t nul = raw.find('\0');
    if (nul != std::string::npos) {
      out.push_back({false, raw.substr(0, nul)});
      continue;
    }
    if (!raw.empty() && raw.back() == '\r' && has_nl) raw.pop_back();
    out.push_back({false, has_nl ? raw + "\n" : raw});
  }
  return out;
}

inline Settings expected_settings(const std::string &file, const std::string &section)
{
  std::vector<Line> lines = lines_of(file);
  size_t i = 0;
  while (i < lines.size() && (lines[i].dropped || lines[i].text != "[" + section + "]\n")) i++;
  if (i == lines.size()) return {{"(none)", ""}};
  Settings out;
  for (i++; i < lines.size(); i++) {
    if (lines[i].dropped) continue;
    const std::string &t = lines[i].text;
    if (!t.empty() && t[0] == '#') continue;
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
      if (!t.empty() && t[0] == '[') break;
      continue;
    }
    out.push_back({trimmed(t.substr(0, eq)), trimmed(t.substr(eq + 1))});
  }
  return out;
}

inline Settings actual_settings(FILE *fp, const std::string &section)
{
  if (__netlane_internal__seek_section(fp, section.c_str()) != 0) return {{"(none)", ""}};
  Settings out;
  char *key, *value;
  for (int n = 0; n < 200 && __netlane_internal__get_setting(fp, &key, &value) == 0; n++) out.push_back({key, value});
  return out;
}

}  // namespace config_rules

#endif
