// Start-up pieces that cannot be reached from outside: the sound-start
// failure (these machines always get a silent driver), the datafile check,
// on hand-made datafiles and on the one the build made, and where data.dat
// is looked for, with the program's own file named by a stand-in; the
// window's scale and its fall-backs, with modes refused by a stand-in.
#include <allegro.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>
#include "data.h"
#include "datapath.h"
#include "main.h"
#include "scale.h"

namespace {

int failing_sound(int, int, const char *)
{
  ustrzcpy(allegro_error, ALLEGRO_ERROR_SIZE, "no sound card here");
  return -1;
}

int working_sound(int, int, const char *) { return 0; }

class SoundStart : public ::testing::Test {
protected:
  void SetUp() override { sound_ok = true; }
  void TearDown() override
  {
    sound_installer = install_sound;
    sound_ok = true;
  }
};

TEST_F(SoundStart, FailurePrintsTheMessageAndRunsSilently)
{
  sound_installer = failing_sound;
  testing::internal::CaptureStdout();
  start_sound();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error setting up Sound, so the game will be silent!\nno sound card here\n");
  EXPECT_FALSE(sound_ok);

  // Silent means no sample is touched, whatever the datafile holds.
  DATAFILE *saved = data;
  DATAFILE bogus[8] = {};
  for (int i = 0; i < 7; i++)
    bogus[i].type = DAT_SAMPLE;  // with no real sample behind it
  bogus[7].type = DAT_END;
  data = bogus;
  play_sound(JOIN_SOUND);
  data = saved;
}

TEST_F(SoundStart, SuccessPrintsNothing)
{
  sound_installer = working_sound;
  testing::internal::CaptureStdout();
  start_sound();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(sound_ok);
}

// A datafile of `types` in order, closed by DAT_END; every object points at
// a dummy so that only the types decide.
struct FakeDatafile {
  explicit FakeDatafile(std::initializer_list<int> types)
  {
    int i = 0;
    for (int t : types) {
      objects[i].type = t;
      objects[i].dat = &dummy;
      i++;
    }
    objects[i].type = DAT_END;
  }
  int dummy = 0;
  DATAFILE objects[16] = {};
};

#define S DAT_SAMPLE
#define F DAT_FONT
#define D DAT_DATA

TEST(DatafileCheck, AcceptsOnlySamplesAt0_2_6AndAFontAt5)
{
  EXPECT_EQ(datafile_usable(FakeDatafile({ S, D, S, D, D, F, S }).objects), 1);
  EXPECT_EQ(datafile_usable(FakeDatafile({ S, D, S, D, D, F, S, D, D }).objects), 1);
  EXPECT_EQ(datafile_usable(NULL), 0);
  EXPECT_EQ(datafile_usable(FakeDatafile({}).objects), 0);
  EXPECT_EQ(datafile_usable(FakeDatafile({ S, D, S, D, D, F }).objects), 0);  // no message sound
  EXPECT_EQ(datafile_usable(FakeDatafile({ S, D, S, D, D, S, S }).objects), 0);
  EXPECT_EQ(datafile_usable(FakeDatafile({ D, D, S, D, D, F, S }).objects), 0);
  EXPECT_EQ(datafile_usable(FakeDatafile({ S, D, F, D, D, F, S }).objects), 0);
}

TEST(DatafileCheck, TheBuiltDatafileHoldsThreeShortDistinctSoundsAndAFont)
{
  DATAFILE *dat = load_datafile(YAMMER_DATA_DAT);
  ASSERT_NE(dat, nullptr) << YAMMER_DATA_DAT;
  EXPECT_EQ(datafile_usable(dat), 1);

  const int sounds[] = { JOIN_SOUND, ALERT_SOUND, MESSAGE_SOUND };
  for (int i : sounds) {
    SAMPLE *s = (SAMPLE *)dat[i].dat;
    EXPECT_GT(s->len, 0u);
    EXPECT_LT((double)s->len / s->freq, 1.0) << "sample " << i;
  }
  SAMPLE *join = (SAMPLE *)dat[JOIN_SOUND].dat;
  SAMPLE *alert = (SAMPLE *)dat[ALERT_SOUND].dat;
  SAMPLE *message = (SAMPLE *)dat[MESSAGE_SOUND].dat;
  EXPECT_NE(join->len, alert->len);
  EXPECT_NE(alert->len, message->len);
  EXPECT_NE(join->len, message->len);

  // The menu font draws 8x16 cells with real glyphs for its labels.
  FONT *f = (FONT *)dat[MENU_FONT].dat;
  EXPECT_EQ(text_height(f), 16);
  EXPECT_EQ(text_length(f, "JOIN CHAT"), 9 * 8);
  BITMAP *b = create_bitmap_ex(8, 8, 16);
  clear_to_color(b, 0);
  textout_ex(b, f, "A", 0, 0, 1, -1);
  int set = 0;
  for (int y = 0; y < 16; y++)
    for (int x = 0; x < 8; x++)
      set += getpixel(b, x, y) == 1;
  EXPECT_GT(set, 10);
  destroy_bitmap(b);
  unload_datafile(dat);
}

TEST(WindowScale, TheLargestThatFitsTheDesktopLessItsPanels)
{
  EXPECT_EQ(2, fitting_scale(1920, 1080));
  EXPECT_EQ(4, fitting_scale(3840, 2160));
  EXPECT_EQ(1, fitting_scale(800, 600));
  EXPECT_EQ(2, fitting_scale(1280, 1040));
  EXPECT_EQ(1, fitting_scale(1279, 1040));
  EXPECT_EQ(1, fitting_scale(1280, 1039));
  EXPECT_EQ(4, fitting_scale(100000, 100000));
  EXPECT_EQ(1, fitting_scale(0, 0));
  for (const char *good : { "1", "2", "3", "4" })
    EXPECT_EQ(good[0] - '0', parse_scale(good));
  for (const char *bad : { "0", "5", "x", "", "12", "2 ", " 2", "-1" })
    EXPECT_EQ(0, parse_scale(bad)) << "'" << bad << "'";
  EXPECT_EQ(0, parse_scale(NULL));
}

// The modes asked for, as "W x H windowed|full"; modes wider than
// `widest` or windowed ones (when `windows` is false) are refused.
struct ModeRecord {
  static int set(int card, int w, int h, int, int)
  {
    asked.push_back(std::to_string(w) + "x" + std::to_string(h) + (card == GFX_AUTODETECT ? " full" : " windowed"));
    return (w > widest || (card != GFX_AUTODETECT && !windows)) ? -1 : 0;
  }
  static std::vector<std::string> asked;
  static int widest;
  static bool windows;
};
std::vector<std::string> ModeRecord::asked;
int ModeRecord::widest;
bool ModeRecord::windows;

TEST(WindowScale, FallsBackTo640x480ThenFullScreenRatherThanFail)
{
  auto open = [](int asked, int widest, bool windows) {
    ModeRecord::asked.clear();
    ModeRecord::widest = widest;
    ModeRecord::windows = windows;
    scale_asked = asked;
    screen_scale = 7;
    testing::internal::CaptureStderr();
    int result = open_scaled_window();
    testing::internal::GetCapturedStderr();
    return result;
  };
  gfx_mode_setter = ModeRecord::set;

  EXPECT_EQ(0, open(3, 5000, true));
  EXPECT_EQ(3, screen_scale);
  EXPECT_EQ(std::vector<std::string>({ "1920x1440 windowed" }), ModeRecord::asked);

  EXPECT_EQ(0, open(3, 640, true));
  EXPECT_EQ(1, screen_scale);
  EXPECT_EQ(std::vector<std::string>({ "1920x1440 windowed", "640x480 windowed" }), ModeRecord::asked);

  EXPECT_EQ(0, open(2, 5000, false));
  EXPECT_EQ(1, screen_scale) << "full screen is never scaled";
  EXPECT_EQ(std::vector<std::string>({ "1280x960 windowed", "640x480 windowed", "640x480 full" }),
            ModeRecord::asked);

  // Here no desktop can be read: the choice is 1.
  EXPECT_EQ(0, open(0, 5000, true));
  EXPECT_EQ(1, screen_scale);
  EXPECT_EQ(std::vector<std::string>({ "640x480 windowed" }), ModeRecord::asked);

  EXPECT_EQ(-1, open(2, 0, true));
  gfx_mode_setter = set_gfx_mode;
  scale_asked = 0;
  screen_scale = 1;
}

// A made-up install tree <root>/bin/yammerlane with <root>/share/yammerlane,
// and a working folder <root>/work; the test runs inside the latter.
class DatafilePath : public ::testing::Test {
protected:
  void SetUp() override
  {
    char tmpl[] = "/tmp/yl-datapath-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    for (const char *dir : { "/bin", "/share", "/share/yammerlane", "/work" })
      ASSERT_EQ(mkdir((root + dir).c_str(), 0700), 0) << dir;
    ASSERT_NE(getcwd(saved_cwd, sizeof saved_cwd), nullptr);
    ASSERT_EQ(chdir((root + "/work").c_str()), 0);
    program = root + "/bin/yammerlane";
    program_file_finder = fake_finder;
  }
  void TearDown() override
  {
    program_file_finder = saved_finder;
    EXPECT_EQ(chdir(saved_cwd), 0);
    std::string rm = "rm -rf '" + root + "'";
    EXPECT_EQ(system(rm.c_str()), 0);
  }
  static void touch(const std::string &name)
  {
    FILE *f = fopen(name.c_str(), "w");
    ASSERT_NE(f, nullptr) << name;
    fclose(f);
  }
  static int fake_finder(char *path, size_t size)
  {
    if (program.empty() || program.size() >= size)
      return -1;
    snprintf(path, size, "%s", program.c_str());
    return 0;
  }
  const char *found()
  {
    return datafile_path(path, sizeof path);
  }

  static std::string program;
  std::string root;
  char saved_cwd[PATH_MAX];
  char path[PATH_MAX];
  int (*saved_finder)(char *, size_t) = program_file_finder;
};

std::string DatafilePath::program;

TEST_F(DatafilePath, WorkingFolderFirstThenBesideTheProgramElseTheUsualError)
{
  std::string installed = root + "/bin/../share/yammerlane/data.dat";

  // Neither: "data.dat", so that loading fails with the file's own message.
  EXPECT_STREQ(found(), "data.dat");

  touch(root + "/share/yammerlane/data.dat");
  EXPECT_EQ(found(), installed);

  // A program whose file cannot be named, or names no folder, finds none.
  program = "";
  EXPECT_STREQ(found(), "data.dat");
  program = "yammerlane";
  EXPECT_STREQ(found(), "data.dat");
  program = root + "/bin/yammerlane";

  // A caller's buffer too small for the installed name gets no cut one.
  char small[8];
  EXPECT_STREQ(datafile_path(small, sizeof small), "data.da");

  // One in the working folder wins over the installed one.
  touch(root + "/work/data.dat");
  EXPECT_STREQ(found(), "data.dat");
}

TEST_F(DatafilePath, TheRealFinderNamesThisTestProgram)
{
  program_file_finder = saved_finder;
  char self[PATH_MAX];
  ASSERT_EQ(program_file_finder(self, sizeof self), 0);
  EXPECT_STREQ(strrchr(self, '/'), "/menu_tests");
  char tiny[4];
  EXPECT_EQ(program_file_finder(tiny, sizeof tiny), -1);
}

}  // namespace
