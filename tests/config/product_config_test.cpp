#include "config/product_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using platform::WString;
using Args = std::vector<WString>;

WString Wide(const fs::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  return path.u16string();
#endif
}

std::string Narrow(const WString& text) {
  std::string out;
  platform::Utf16ToUtf8(text, out);
  return out;
}

void ExpectNames(const ShortcutNames& got, const ShortcutNames& want) {
  EXPECT_EQ(Narrow(got.shortcut_cn), Narrow(want.shortcut_cn));
  EXPECT_EQ(Narrow(got.shortcut_en), Narrow(want.shortcut_en));
  EXPECT_EQ(Narrow(got.shortcut_new_cn), Narrow(want.shortcut_new_cn));
  EXPECT_EQ(Narrow(got.shortcut_new_en), Narrow(want.shortcut_new_en));
}

void ExpectArgs(const Args& got, const Args& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(Narrow(got[i]), Narrow(want[i])) << i;
}

class ProductConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    // A name new for every run: the same test of another checkout may run at the same time.
    folder_ = fs::temp_directory_path() /
              ("productconfig-" + std::to_string(platform::UniqueNumber() % 1000000) + "-" +
               info->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path Write(const std::string& bytes, const fs::path& name = "ProductConfig.xml") {
    const fs::path path = folder_ / name;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path folder_;
};

// Outputs prefilled so that "untouched" and "cleared" can be told apart.
const ShortcutNames kSentinelNames{WIDE("s1"), WIDE("s2"), WIDE("s3"), WIDE("s4")};
const Args kSentinelArgs{WIDE("keep")};

TEST_F(ProductConfigTest, ReadsWhatTheFileSays) {
  struct Case {
    const char* xml;
    ShortcutNames names;
    Args args;
  };
  const Case cases[] = {
      // An empty root is a valid configuration with nothing in it.
      {"<r/>", {}, {}},
      // The root's name is not checked; a declaration and comments before it are passed over.
      {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c "
       "--><Whatever><shortcut_cn>A</shortcut_cn>"
       "</Whatever>",
       {WIDE("A"), {}, {}, {}},
       {}},
      // All four names, Chinese text converted from UTF-8.
      {"<c><shortcut_cn>\xE7\xBB\xB4\xE5\xB0\x94</shortcut_cn><shortcut_en>Velt</shortcut_en>"
       "<shortcut_new_cn>\xE6\x96\xB0</shortcut_new_cn><shortcut_new_en>New</shortcut_new_en></c>",
       {WIDE("\u7ef4\u5c14"), WIDE("Velt"), WIDE("\u65b0"), WIDE("New")},
       {}},
      // Shortcut element names match in any letter case; a case-sensitive compare loses them.
      {"<c><SHORTCUT_CN>A</SHORTCUT_CN><Shortcut_New_En>B</Shortcut_New_En></c>",
       {WIDE("A"), {}, {}, WIDE("B")},
       {}},
      // Near misses and elements below the root's children are not names.
      {"<c><shortcut_cn_x>A</shortcut_cn_x><shortcutcn>B</shortcutcn><shortcut_cn >C</shortcut_cn >"
       "<g><shortcut_en>D</shortcut_en></g></c>",
       {WIDE("C"), {}, {}, {}},
       {}},
      // "Args", "Item" and "Name" match exactly; ARGS, args, item and name are other things.
      {"<c><ARGS><Item Name=\"a\"/></ARGS><args><Item Name=\"b\"/></args>"
       "<Args><item Name=\"c\"/><Item name=\"d\"/><Item Name=\"e\"/></Args></c>",
       {},
       {WIDE("e")}},
      // Only the first "Args" counts; Items under the root or deeper are ignored.
      {"<c><Item Name=\"root\"/><Args><Item Name=\"a\"/><g><Item Name=\"deep\"/></g>"
       "<Item Name=\"b\"/></Args><Args><Item Name=\"second\"/></Args></c>",
       {},
       {WIDE("a"), WIDE("b")}},
      // Empty and missing Name values are skipped without disturbing the order.
      {"<c><Args><Item Name=\"one\"/><Item Name=\"\"/><Item/><Item Name=\"two\"/></Args></c>",
       {},
       {WIDE("one"), WIDE("two")}},
      // A later element replaces an earlier value; one with no text (empty, blanks only, or an
      // element first) keeps it.
      {"<c><shortcut_en>A</shortcut_en><shortcut_en>B</shortcut_en><shortcut_cn>X</shortcut_cn>"
       "<shortcut_cn></shortcut_cn><shortcut_cn/><shortcut_cn><b>Y</b></shortcut_cn>"
       "<shortcut_en> \n </shortcut_en></c>",
       {WIDE("X"), WIDE("B"), {}, {}},
       {}},
      // CDATA is text; a comment before the text hides it.
      {"<c><shortcut_cn><![CDATA[a<b>&amp;]]></shortcut_cn><shortcut_en><!-- c "
       "-->B</shortcut_en></c>",
       {WIDE("a<b>&amp;"), {}, {}, {}},
       {}},
      // Entities are translated and blanks kept, in texts and attribute values alike.
      {"<c><shortcut_cn> A &amp; B </shortcut_cn><Args><Item Name=\" x &lt;y&gt; &quot;z&quot; \"/>"
       "</Args></c>",
       {WIDE(" A & B "), {}, {}, {}},
       {WIDE(" x <y> \"z\" ")}},
      // A value that is not UTF-8 is skipped whole rather than passed on with replacement marks.
      {"<c><shortcut_cn>ok</shortcut_cn><shortcut_cn>bad\xFF</shortcut_cn><Args>"
       "<Item Name=\"\xC0\xAF\"/><Item Name=\"fine\"/></Args></c>",
       {WIDE("ok"), {}, {}, {}},
       {WIDE("fine")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    const fs::path path = Write(c.xml);
    ShortcutNames names;
    Args args;
    ASSERT_TRUE(ReadProductConfig(Wide(path).c_str(), names, args));
    ExpectNames(names, c.names);
    ExpectArgs(args, c.args);
  }
}

TEST_F(ProductConfigTest, ArgumentsAreAppendedToWhatTheCallerHas) {
  const fs::path path = Write("<c><Args><Item Name=\"x\"/></Args></c>");
  Args args{WIDE("first")};
  ShortcutNames names;
  ASSERT_TRUE(ReadProductConfig(Wide(path).c_str(), names, args));
  ExpectArgs(args, {WIDE("first"), WIDE("x")});
}

TEST_F(ProductConfigTest, FailuresLeaveTheOutputsUntouched) {
  const struct {
    const char* xml;
  } unreadable[] = {
      {""},                                   // empty file
      {" \r\n\t "},                           // blanks only
      {"<c><shortcut_cn>A</shortcut_cn>"},    // root never closed
      {"<c><a></c>"},                         // mismatched tags
      {"<?xml version=\"1.0\"?><!-- c -->"},  // no element at all
      {"just text"},                          // text is not a document
      {"<c a=\"1\" a=\"2\"/>"},               // duplicate attribute
  };
  for (const auto& c : unreadable) {
    SCOPED_TRACE(c.xml);
    const fs::path path = Write(c.xml);
    ShortcutNames names = kSentinelNames;
    Args args = kSentinelArgs;
    EXPECT_FALSE(ReadProductConfig(Wide(path).c_str(), names, args));
    ExpectNames(names, kSentinelNames);
    ExpectArgs(args, kSentinelArgs);
  }

  fs::create_directories(folder_ / "Folder.xml");
  const WString paths[] = {
      Wide(folder_ / "Folder.xml"),   // a folder exists under the name but is no file
      Wide(folder_ / "Missing.xml"),  // nothing there
  };
  for (const WString& path : paths) {
    SCOPED_TRACE(Narrow(path));
    ShortcutNames names = kSentinelNames;
    Args args = kSentinelArgs;
    EXPECT_FALSE(ReadProductConfig(path.c_str(), names, args));
    ExpectNames(names, kSentinelNames);
    ExpectArgs(args, kSentinelArgs);
  }
  ShortcutNames names = kSentinelNames;
  Args args = kSentinelArgs;
  EXPECT_FALSE(ReadProductConfig(nullptr, names, args));
  ExpectNames(names, kSentinelNames);
}

// The path must have a whole code page 936 form of at most 259 bytes. Chinese folder names
// also prove the file is opened by its wide name: under a non-Chinese ANSI code page a
// code page 936 byte name would open nothing, or another file.
TEST_F(ProductConfigTest, PathMustFitCodePage936) {
  const std::string xml = "<c><shortcut_cn>A</shortcut_cn></c>";
  const std::size_t base = Wide(folder_).size() + 1 + std::string("\\ProductConfig.xml").size();
  ASSERT_LT(base, 170u) << "scratch folder too deep for this test";
  // Each Chinese character takes two bytes in code page 936 but one UTF-16 unit; folders of
  // 40 characters stay within every file system's name limit, ASCII makes up the rest.
  const auto folderOfBytes = [&](std::size_t totalBytes) {
    std::string chinese;
    for (int i = 0; i < 40; ++i) chinese += "\xE4\xB8\xAD";  // U+4E2D
    std::size_t bytes = totalBytes - base;
    fs::path folder;
    for (; bytes > 81; bytes -= 81) folder /= fs::u8path(chinese);
    return folder / std::string(bytes, 'a');
  };
  const struct {
    fs::path folder;
    bool read;
  } cases[] = {
      {folderOfBytes(259), true},           // longest that fits: an off-by-one refuses it
      {folderOfBytes(260), false},          // one byte too many for the buffer: never a cut name
      {fs::u8path("\xEA\xB0\x80"), false},  // a Hangul syllable has no code page 936 form
  };
  for (const auto& c : cases) {
    const fs::path path = Write(xml, c.folder / "ProductConfig.xml");
    SCOPED_TRACE(path.u8string());
    std::string cp936;
    if (platform::WideToNarrow(Wide(path), platform::CodePage::kChinese, cp936)) {
      EXPECT_LE(Wide(path).size(), 259u);  // the wide path itself always fits
      EXPECT_EQ(cp936.size() <= 259, c.read);
    }
    ShortcutNames names;
    Args args;
    EXPECT_EQ(ReadProductConfig(Wide(path).c_str(), names, args), c.read);
    EXPECT_EQ(Narrow(names.shortcut_cn), c.read ? "A" : "");
  }
}

// A value needs at most 259 UTF-16 units; longer ones are skipped whole, never cut (a cut
// could split a surrogate pair or name a different link).
TEST_F(ProductConfigTest, LongValuesAreSkippedWhole) {
  const std::string fits(259, 'f');
  const std::string tooLong(260, 't');
  // 258 units and a pair: 260 units; a cut to 259 would keep half of the pair.
  const std::string pairAtEnd = std::string(258, 'p') + "\xF0\x9F\x98\x80";
  std::string chinese259;
  for (int i = 0; i < 259; ++i) chinese259 += "\xE4\xB8\xAD";  // 259 units, 777 bytes

  const std::string xml = "<c><shortcut_cn>keep</shortcut_cn><shortcut_cn>" + tooLong +
                          "</shortcut_cn><shortcut_en>" + fits + "</shortcut_en><shortcut_new_en>" +
                          pairAtEnd + "</shortcut_new_en><shortcut_new_cn>" + chinese259 +
                          "</shortcut_new_cn><Args><Item Name=\"" + tooLong + "\"/><Item Name=\"" +
                          pairAtEnd + "\"/><Item Name=\"" + fits + "\"/></Args></c>";
  const fs::path path = Write(xml);
  ShortcutNames names;
  Args args;
  ASSERT_TRUE(ReadProductConfig(Wide(path).c_str(), names, args));
  EXPECT_EQ(Narrow(names.shortcut_cn), "keep");
  EXPECT_EQ(Narrow(names.shortcut_en), fits);
  EXPECT_EQ(Narrow(names.shortcut_new_cn), chinese259);
  EXPECT_TRUE(names.shortcut_new_en.empty());
  ExpectArgs(args, {WString(fits.begin(), fits.end())});
}

TEST_F(ProductConfigTest, OversizedFileIsRefused) {
  const std::string head = "<c><shortcut_cn>A</shortcut_cn><!--";
  const std::string tail = "--></c>";
  const std::size_t limit = static_cast<std::size_t>(kMaxConfigFileBytes);
  const std::string atLimit = head + std::string(limit - head.size() - tail.size(), 'x') + tail;
  ShortcutNames names;
  Args args;
  EXPECT_TRUE(ReadProductConfig(Wide(Write(atLimit)).c_str(), names, args));
  ShortcutNames untouched;
  const std::string overLimit =
      head + std::string(limit + 1 - head.size() - tail.size(), 'x') + tail;
  EXPECT_FALSE(ReadProductConfig(Wide(Write(overLimit)).c_str(), untouched, args));
  EXPECT_TRUE(untouched.shortcut_cn.empty());
}

TEST(Utf8ToWideTest, BufferContract) {
  platform::WChar out[kConfigTextUnits];
  out[0] = 'u';
  EXPECT_FALSE(Utf8ToWide(nullptr, out));
  EXPECT_EQ(out[0], 'u');  // null input leaves the buffer as it was
  EXPECT_FALSE(Utf8ToWide("", out));
  EXPECT_EQ(out[0], 0);
  ASSERT_TRUE(Utf8ToWide("a\xE4\xB8\xAD", out));
  EXPECT_EQ(WString(out), WString(WIDE("a\u4e2d")));
  // Too long: empty, not a prefix of the value.
  EXPECT_FALSE(Utf8ToWide(std::string(300, 'z').c_str(), out));
  EXPECT_EQ(out[0], 0);
}

TEST(WideToCp936Test, BufferContract) {
  char out[kConfigTextUnits];
  out[0] = 'u';
  EXPECT_FALSE(WideToCp936(nullptr, out));
  EXPECT_EQ(out[0], 'u');
  ASSERT_TRUE(WideToCp936(WIDE("C:\\\u4e2d"), out));
  EXPECT_STREQ(out, "C:\\\xD6\xD0");
  const WString tooLong(260, WIDE('a'));
  EXPECT_FALSE(WideToCp936(tooLong.c_str(), out));
  EXPECT_STREQ(out, "");
  EXPECT_FALSE(WideToCp936(WIDE("a\uac00"), out));  // no '?' stand-in for a missing character
  EXPECT_STREQ(out, "");
}

}  // namespace
