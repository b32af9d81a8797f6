// Archives made by real tools must install to the same paths, contents and modification
// times as Info-ZIP unzip gives for them. The fixture folder holds the archives and a
// manifest of unzip's result (see make_fixtures.sh).
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/zip/test_support.h"
#include "update/install_transaction.h"

namespace {

using namespace ziptest;

struct Expected {
  char type;  // 'f' or 'd'
  std::uint64_t size;
  std::int64_t mtime;  // seconds since 1970, UTC
  std::uint32_t crc;
};

fs::path FixtureFolder() {
  const char* env = std::getenv("ZIP_FIXTURES");
  if (env == nullptr || *env == '\0') return fs::path();
  std::string p = env;
#ifdef _WIN32
  // The fixtures live on the Linux side; Wine shows its root as drive Z:.
  if (!p.empty() && p[0] == '/') p = "Z:" + p;
#endif
  return fs::u8path(p);
}

class CompatTest : public ScratchTest {};

TEST_F(CompatTest, ToolArchivesInstallLikeUnzip) {
  const fs::path fixtures = FixtureFolder();
  if (fixtures.empty() || !fs::exists(fixtures / "manifest.txt")) {
    GTEST_SKIP() << "no fixtures: run through ctest, which makes them with zip, 7zz, bsdtar "
                    "and python3 first";
  }
  std::map<std::string, std::map<std::string, Expected>> archives;
  std::ifstream manifest(fixtures / "manifest.txt");
  std::string line;
  while (std::getline(manifest, line)) {
    std::istringstream in(line);
    std::string archive, path, type, crc;
    Expected e{};
    if (!std::getline(in, archive, '\t') || !std::getline(in, path, '\t') ||
        !std::getline(in, type, '\t') || !(in >> e.size >> e.mtime >> crc)) {
      continue;
    }
    e.type = type[0];
    e.crc = static_cast<std::uint32_t>(std::stoul(crc, nullptr, 16));
    archives[archive];
    if (path != ".") archives[archive][path] = e;
  }
  ASSERT_GE(archives.size(), 6u);
  for (const auto& [archive, expected] : archives) {
    SCOPED_TRACE(archive);
    const fs::path out = scratch_ / archive;
    update::InstallOptions options;
    options.report = [](const update::ItemReport& r) {
      ADD_FAILURE() << "item " << r.index << " failed: " << std::hex << r.result;
    };
    const update::InstallOutcome o = update::InstallPackage(W(fixtures / archive), W(out), options);
    EXPECT_EQ(o.result, update::InstallResult::kInstalled);
    EXPECT_EQ(o.skipped, 0u);
    std::size_t found = 0;
    for (auto it = fs::recursive_directory_iterator(out); it != fs::recursive_directory_iterator();
         ++it) {
      ++found;
      const std::string rel = fs::relative(it->path(), out).generic_u8string();
      const auto e = expected.find(rel);
      if (e == expected.end()) {
        ADD_FAILURE() << "unexpected " << rel;
        continue;
      }
      platform::FileInfo info;
      ASSERT_TRUE(platform::GetFileInfo(W(it->path()), info)) << rel;
      EXPECT_EQ((info.attributes & platform::kAttrFolder) ? 'd' : 'f', e->second.type) << rel;
      if (e->second.type != 'f') continue;
      const std::string bytes = ReadBytes(it->path());
      EXPECT_EQ(bytes.size(), e->second.size) << rel;
      EXPECT_EQ(
          crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())),
          e->second.crc)
          << rel;
      EXPECT_EQ(static_cast<std::int64_t>(info.modification / 10000000) - 11644473600,
                e->second.mtime)
          << rel;
    }
    EXPECT_EQ(found, expected.size());
  }
}

}  // namespace
