// Runs a fuzz target without libFuzzer: every file of the folders (or the
// files) named on the command line goes through LLVMFuzzerTestOneInput
// once, as the seed corpus does in the plain build's CTest run.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "target.h"

static int run_file(const std::string &path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
  return 0;
}

int main(int argc, char **argv)
{
  LLVMFuzzerInitialize(&argc, &argv);
  int failed = 0, runs = 0;
  for (int i = 1; i < argc; i++) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "no such file or folder: %s\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      DIR *dir = opendir(argv[i]);
      for (struct dirent *e = dir ? readdir(dir) : NULL; e; e = readdir(dir))
        if (e->d_name[0] != '.') files.push_back(std::string(argv[i]) + "/" + e->d_name);
      if (dir) closedir(dir);
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string &f : files) {
      failed += run_file(f);
      runs++;
    }
  }
  printf("%d inputs replayed\n", runs);
  return failed || runs == 0 ? 1 : 0;
}
