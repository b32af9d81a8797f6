// Shared pieces of the zip tests: a scratch folder per test and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace ziptest {

namespace fs = std::filesystem;

inline platform::WString W(const std::string& utf8) {
  platform::WString w;
  platform::Utf8ToUtf16(utf8, w);
  return w;
}

inline platform::WString W(const char* utf8) { return W(std::string(utf8)); }

inline platform::WString W(const fs::path& p) {
#ifdef _WIN32
  return p.wstring();
#else
  return W(p.string());
#endif
}

inline bool WriteBytes(const fs::path& p, const std::string& bytes) {
  platform::File f = platform::File::Create(W(p), 0);
  return f && f.Write(bytes.data(), bytes.size()) && f.Close();
}

// The whole file, or "<missing>" when it cannot be opened.
inline std::string ReadBytes(const fs::path& p) {
  platform::File f = platform::File::OpenForRead(W(p));
  std::uint64_t size = 0;
  if (!f || !f.Size(size)) return "<missing>";
  std::string out(static_cast<std::size_t>(size), '\0');
  if (f.ReadAt(0, out.data(), out.size()) != static_cast<std::int64_t>(size)) return "<short>";
  return out;
}

// The throwaway signing keys of make_test_keys.sh, from UPDATE_TEST_KEYS; empty when unset.
inline fs::path TestKeyFolder() {
  const char* env = std::getenv("UPDATE_TEST_KEYS");
  std::string folder = env != nullptr ? env : "";
#ifdef _WIN32
  // Wine sees the build tree on drive Z:.
  if (!folder.empty() && folder[0] == '/') folder = "Z:" + folder;
#endif
  return fs::path(folder);
}

// A fresh folder under the system's temporary folder, removed afterwards. Its name is new
// for every run: the same test of another checkout may run at the same time on the machine.
class ScratchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    static const std::string run = std::to_string(platform::UniqueNumber() % 1000000);
    scratch_ = fs::temp_directory_path() /
               ("ziptest-" + run + "-" + std::to_string(counter++) + "-" + name);
    fs::remove_all(scratch_);
    fs::create_directories(scratch_);
  }
  void TearDown() override {
    std::error_code ec;
    // Read-only files and folders would stop remove_all on some systems.
    for (auto it = fs::recursive_directory_iterator(scratch_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(scratch_, ec);
  }
  fs::path scratch_;
};

}  // namespace ziptest
