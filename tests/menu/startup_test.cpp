// Start-up pieces that cannot be reached from outside: the sound-start
// failure (these machines always get a silent driver), the datafile check,
// on hand-made datafiles and on the one the build made, and where data.dat
// is looked for, with the program's own file named by a stand-in.
#include <allegro.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include "data.h"
#include "datapath.h"
#include "main.h"

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
