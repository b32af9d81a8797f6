#include <gtest/gtest.h>

#include <cstdio>

#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "tools/pkgtool/pkgtool.h"

namespace {

using namespace ziptest;

class PkgtoolTest : public ScratchTest {
 protected:
  // Runs pkgtool with `args`; returns the exit code and fills `out` with standard output.
  int Run(const std::vector<platform::WString>& args, std::string& out) {
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    const int rc = pkgtool::Run(args, o, e);
    out.clear();
    std::rewind(o);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, o)) > 0;) out.append(buf, n);
    std::fclose(o);
    std::fclose(e);
    return rc;
  }
};

TEST_F(PkgtoolTest, ExitCodesAndProblemLines) {
  Archive good;
  Entry ut{};
  ut.name = "dir/a.txt";
  ut.data = "a";
  ut.localExtra = UtBlock(1, {1600000000});
  good.entries = {ut};
  ASSERT_TRUE(WriteBytes(scratch_ / "good.zip", Build(good)));

  Archive bad = good;
  Entry crc = ut;
  crc.name = "crc.txt";
  crc.crc = 7;
  Entry method = ut;
  method.name = "m.txt";
  method.method = 12;
  Entry enc = ut;
  enc.name = "enc.txt";
  enc.password = "secret";
  Entry evil = ut;
  evil.name = "../evil";
  Entry first = ut;
  first.name = "s1.txt";
  Entry again = first;
  again.name = "s2.txt";
  again.sharesHeaderOf = 5;
  bad.entries = {ut, crc, method, enc, evil, first, again};
  ASSERT_TRUE(WriteBytes(scratch_ / "bad.zip", Build(bad)));
  ASSERT_TRUE(WriteBytes(scratch_ / "junk.zip", "not an archive"));

  const platform::WString goodZip = W(scratch_ / "good.zip"), badZip = W(scratch_ / "bad.zip"),
                          junk = W(scratch_ / "junk.zip"), dest = W(scratch_ / "dest");
  std::string out;
  EXPECT_EQ(Run({W("list"), goodZip}, out), 0);
  EXPECT_EQ(out, "0 20 1 2020-09-13T12:26:40Z dir/a.txt\n");
  EXPECT_EQ(Run({W("check"), goodZip}, out), 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(Run({W("extract"), goodZip, dest}, out), 0);
  EXPECT_EQ(ReadBytes(scratch_ / "dest" / "dir" / "a.txt"), "a");

  // One line per problem, naming the item and why; the good item is not mentioned.
  EXPECT_EQ(Run({W("check"), badZip}, out), 1);
  EXPECT_EQ(out,
            "1 crc.txt: CRC mismatch\n"
            "2 m.txt: unsupported method 12\n"
            "3 enc.txt: encrypted\n"
            "4 ../evil: unsafe name (parent folder step)\n"
            "5 s1.txt: data overlap another item's header or data\n"
            "6 s2.txt: data overlap another item's header or data\n");
  EXPECT_EQ(Run({W("extract"), badZip, dest}, out), 1);
  EXPECT_NE(out.find("1 crc.txt: CRC mismatch"), std::string::npos);
  EXPECT_FALSE(fs::exists(scratch_ / "evil"));

  // Usage errors and archives that do not open: 2.
  EXPECT_EQ(Run({W("check"), junk}, out), 2);
  EXPECT_EQ(Run({W("extract"), junk, dest}, out), 2);
  EXPECT_EQ(Run({W("list")}, out), 2);
  EXPECT_EQ(Run({W("frobnicate"), goodZip}, out), 2);
}

}  // namespace
