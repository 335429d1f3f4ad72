// A fresh directory of the test's own under the system's temporary directory, removed
// with its contents at the end. The standard library alone, so both builds' tests use it.
#pragma once
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zdtest {

class Scratch {
 public:
  Scratch() {
    static std::atomic<int> serial{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    root_ = std::filesystem::temp_directory_path() /
            ("zd-scratch-" + std::to_string(stamp) + "-" + std::to_string(serial.fetch_add(1)));
    std::filesystem::create_directories(root_);
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // The native path of `name` inside the directory.
  std::string Path(const std::string& name) const { return (root_ / name).string(); }
  std::string Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }
  // How many names in the directory itself contain `part`.
  int NamesContaining(const std::string& part) const {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
      n += entry.path().filename().string().find(part) != std::string::npos;
    }
    return n;
  }

 private:
  std::filesystem::path root_;
};

}  // namespace zdtest
