// Replays fuzz inputs without libFuzzer, so that every test build (plain,
// sanitizer, cross) runs the seed corpora and the inputs of past faults.
// Every file named on the command line, and every regular file inside a
// directory named there (in name order), goes once through
// LLVMFuzzerTestOneInput. Exits non-zero when a path cannot be read or when
// nothing was replayed; a fault aborts the process as it would under
// libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Appends the files of path (itself, or the regular files inside it).
bool collect_inputs(const std::string& path, std::vector<std::string>& files) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    files.push_back(path);
    return true;
  }
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  std::vector<std::string> found;
  while (const dirent* entry = readdir(dir)) {
    const std::string child = path + "/" + entry->d_name;
    if (stat(child.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(child);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  files.insert(files.end(), found.begin(), found.end());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (!collect_inputs(argv[i], files)) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
  }
  std::string data;
  for (const std::string& file : files) {
    if (!read_file(file, data)) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), data.size());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return files.empty() ? 1 : 0;
}
