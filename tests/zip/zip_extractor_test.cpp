#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "zip/zip_extractor.h"

namespace {

using namespace ziptest;
using zip::ZipExtractor;
using zip::ZipItem;

constexpr std::int64_t kTicks = 10000000;
constexpr std::int64_t kEpochDelta = 11644473600;
std::int64_t UnixSeconds(platform::FileTime t) {
  return static_cast<std::int64_t>(t / kTicks) - kEpochDelta;
}

class ZipExtractorTest : public ScratchTest {
 protected:
  // Writes the archive and opens it with root <scratch>/root.
  std::unique_ptr<ZipExtractor> OpenBuilt(const Archive& a, std::uint32_t* rc = nullptr) {
    const fs::path zipPath = scratch_ / "a.zip";
    EXPECT_TRUE(WriteBytes(zipPath, Build(a)));
    std::uint32_t local = 0;
    return ZipExtractor::Open(W(zipPath), W(root()), rc ? rc : &local);
  }
  fs::path root() const { return scratch_ / "root"; }
};

Entry Named(std::string name, std::string data = "hello, world\n") {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  return e;
}

// Archive-level faults: each row is an archive that must open or must not.
struct OpenCase {
  const char* what;
  std::function<void(Archive&)> change;
  bool opens;
};

TEST_F(ZipExtractorTest, OpensOnlySoundArchives) {
  const OpenCase cases[] = {
      {"plain", [](Archive&) {}, true},
      // end record outside the last window: the search must go on backwards
      {"2000-byte comment", [](Archive& a) { a.comment.assign(2000, 'c'); }, true},
      // the furthest end record the search reaches, and one byte beyond
      {"comment 65513", [](Archive& a) { a.comment.assign(65513, 'c'); }, true},
      {"comment 65514", [](Archive& a) { a.comment.assign(65514, 'c'); }, false},
      // spanned archives are not supported and must not be misread
      {"disk 1", [](Archive& a) { a.thisDisk = 1; }, false},
      {"directory disk 1", [](Archive& a) { a.directoryDisk = 1; }, false},
      {"entries here differ", [](Archive& a) { a.entriesHere = 0; }, false},
      // ZIP64 records shift every offset the end record implies: refused, not misread
      {"ZIP64 records", [](Archive& a) { a.zip64Records = true; }, false},
      // a signature inside the comment is found first and must be checked, not trusted
      {"fake end record in comment",
       [](Archive& a) {
         a.comment = std::string("PK\x05\x06", 4) + std::string(16, '\xFF') + std::string(2, '\0');
       },
       false},
      // a signature whose record or comment would run past the file is no end record
      {"fake end record in comment, its comment past the file",
       [](Archive& a) { a.comment = std::string("PK\x05\x06", 4) + std::string(18, '\xFF'); },
       true},
      {"fake end record in the comment's last bytes",
       [](Archive& a) { a.comment = std::string("PK\x05\x06", 4) + "xyz"; }, true},
      // bytes after the comment are tolerated for reading, as other readers do
      {"bytes after the end record", [](Archive& a) { a.trailing = "trailing junk"; }, true},
      {"signature in the bytes after the end record",
       [](Archive& a) { a.trailing = std::string("PK\x05\x06", 4) + std::string(10, '\0'); }, true},
  };
  for (const OpenCase& c : cases) {
    Archive a;
    a.entries = {Named("x.txt")};
    c.change(a);
    std::uint32_t rc = 0;
    auto ex = OpenBuilt(a, &rc);
    EXPECT_EQ(ex != nullptr, c.opens) << c.what;
    EXPECT_EQ(rc, c.opens ? zip::ExtractOk : zip::ExtractCannotOpen) << c.what;
  }
}

TEST_F(ZipExtractorTest, RefusesFilesThatAreNoArchive) {
  for (const std::string& bytes : {std::string(), std::string("PK\x05"), std::string(100, 'x')}) {
    ASSERT_TRUE(WriteBytes(scratch_ / "bad.zip", bytes));
    std::uint32_t rc = 0;
    EXPECT_EQ(ZipExtractor::Open(W(scratch_ / "bad.zip"), W(root()), &rc), nullptr);
    EXPECT_EQ(rc, zip::ExtractCannotOpen);
  }
  std::uint32_t rc = 0;
  EXPECT_EQ(ZipExtractor::Open(W(scratch_ / "missing.zip"), W(root()), &rc), nullptr);
}

// `length` bytes in which a piece delivered twice, skipped or out of place shows.
std::string Varied(std::size_t length) {
  std::string s(length, '\0');
  for (std::size_t i = 0; i < length; ++i) s[i] = static_cast<char>(i % 251);
  return s;
}

// An entry of `length` bytes, stored (method 0) or deflated (8).
std::function<void(Entry&)> Sized(std::uint16_t method, std::size_t length) {
  return [=](Entry& e) {
    e.method = method;
    e.data = Varied(length);
  };
}

// A deflated entry whose compressed data are exactly `compressed` bytes: stored blocks, each
// 5 bytes more than the up to 65535 it holds.
std::function<void(Entry&)> CompressedTo(std::size_t compressed) {
  return [=](Entry& e) {
    std::size_t blocks = 1;
    while (compressed - 5 * blocks > 0xFFFF * blocks) ++blocks;
    e.storedBlocks = true;
    e.data = Varied(compressed - 5 * blocks);
  };
}

// Item-level faults: each row is one entry and the result extracting it must give; on
// success the file holds the data's first uncompressed-size bytes. Every row is read through
// both decoders, which must agree.
struct ReadCase {
  const char* what;
  std::function<void(Entry&)> change;
  std::uint32_t result;
};

TEST_F(ZipExtractorTest, ReadsOrRefusesItemData) {
  const std::string text(50000, 'z');
  const ReadCase cases[] = {
      {"deflated", [](Entry&) {}, zip::ExtractOk},
      {"stored", [](Entry& e) { e.method = 0; }, zip::ExtractOk},
      // a local header that disagrees with the directory means a damaged or forged archive
      {"local method differs", [](Entry& e) { e.localMethod = 0; }, zip::ExtractCorrupt},
      {"local CRC differs", [](Entry& e) { e.localCrc = 1; }, zip::ExtractCorrupt},
      {"local CRC differs, descriptor flag",
       [](Entry& e) {
         e.localCrc = 0;
         e.flags = 8;
       },
       zip::ExtractOk},
      {"local name length differs, descriptor flag",
       [](Entry& e) {
         e.flags = 8;
         e.localNameLength = 3;
       },
       zip::ExtractCorrupt},
      // the data would land under another name than the one checked and installed
      {"local name differs", [](Entry& e) { e.localName = "evil__.txt"; },
       zip::ExtractNameMismatch},
      {"local name differs in its last byte only", [](Entry& e) { e.localName = "d/x.txu"; },
       zip::ExtractNameMismatch},
      {"local name differs in letter case only", [](Entry& e) { e.localName = "d/X.txt"; },
       zip::ExtractNameMismatch},
      {"local name the same, descriptor flag",
       [](Entry& e) {
         e.flags = 8;
         e.localName = "d/x.txt";
       },
       zip::ExtractOk},
      {"method 12", [](Entry& e) { e.method = 12; }, zip::ExtractCorrupt},
      // corrupted data must never be reported as installed
      {"CRC mismatch", [](Entry& e) { e.crc = 0x12345678; }, zip::ExtractCrcMismatch},
      // a stored item whose data ends early must fail, not spin waiting for input
      {"stored, short data",
       [](Entry& e) {
         e.method = 0;
         e.size = static_cast<std::uint32_t>(e.data.size() + 100);
       },
       zip::ExtractInflateFailed},
      // the stream ends before the stated size: a short file must not pass as whole
      {"deflated, stream shorter than size",
       [](Entry& e) { e.size = static_cast<std::uint32_t>(e.data.size() + 1); },
       zip::ExtractInflateFailed},
      // the compressed bytes stop before the stream ends (the file is cut)
      {"deflated, cut data", [](Entry& e) { e.keepData = 10; }, zip::ExtractInflateFailed},
      {"stored, cut data",
       [](Entry& e) {
         e.method = 0;
         e.keepData = 10;
       },
       zip::ExtractInflateFailed},
      {"encrypted, empty password", [](Entry& e) { e.password = ""; }, zip::ExtractOk},
      {"encrypted stored, empty password",
       [](Entry& e) {
         e.method = 0;
         e.password = "";
       },
       zip::ExtractOk},
      {"encrypted, other password", [](Entry& e) { e.password = "secret"; },
       zip::ExtractBadPassword},
      // At the edges of the read and output pieces the entry's end must be seen, and nothing
      // lost or given twice, whether the last piece is full or holds one byte (a reader that
      // never fetched a last single byte would spin).
      {"stored, one read piece", Sized(0, zip::kReadBufferSize), zip::ExtractOk},
      {"stored, one read piece and a byte", Sized(0, zip::kReadBufferSize + 1), zip::ExtractOk},
      {"stored, one output piece", Sized(0, zip::kOutputBufferSize), zip::ExtractOk},
      {"stored, one output piece and a byte", Sized(0, zip::kOutputBufferSize + 1), zip::ExtractOk},
      {"deflated, one output piece", Sized(8, zip::kOutputBufferSize), zip::ExtractOk},
      {"deflated, one output piece and a byte", Sized(8, zip::kOutputBufferSize + 1),
       zip::ExtractOk},
      {"deflated, one read piece", CompressedTo(zip::kReadBufferSize), zip::ExtractOk},
      {"deflated, one read piece and a byte", CompressedTo(zip::kReadBufferSize + 1),
       zip::ExtractOk},
      // The whole decoding's edge: the item fits the buffer, or is streamed.
      {"deflated, whole buffer", Sized(8, zip::kWholeItemSize), zip::ExtractOk},
      {"deflated, whole buffer and a byte", Sized(8, zip::kWholeItemSize + 1), zip::ExtractOk},
      {"stored, whole buffer", Sized(0, zip::kWholeItemSize), zip::ExtractOk},
      {"stored, whole buffer and a byte", Sized(0, zip::kWholeItemSize + 1), zip::ExtractOk},
      // Damaged streams. The stream yields more than the stated size: the stated bytes are
      // delivered and the CRC-32 judges them, whether it covers them or the whole stream.
      {"deflated, stream longer than size",
       [](Entry& e) { e.size = static_cast<std::uint32_t>(e.data.size() - 1); },
       zip::ExtractCrcMismatch},
      {"deflated, stream longer than size, CRC of the stated part",
       [](Entry& e) {
         e.size = static_cast<std::uint32_t>(e.data.size() - 1);
         e.crc = Crc(e.data.substr(0, e.data.size() - 1));
       },
       zip::ExtractOk},
      // every stated byte arrives before the stream would end: the end is never looked for
      {"deflated, last block not marked final",
       [](Entry& e) {
         e.payload = StoredBlocks(e.data);
         (*e.payload)[0] = '\0';
       },
       zip::ExtractOk},
      // bytes behind the stream's end, inside the compressed size, are never read as data
      {"deflated, bytes after the stream", [](Entry& e) { e.extendCompressed = 10; },
       zip::ExtractOk},
      {"deflated, stored block lengths disagree",
       [](Entry& e) {
         e.payload = StoredBlocks(e.data);
         (*e.payload)[3] = '\0';
       },
       zip::ExtractInflateFailed},
      {"deflated, block of the reserved type",
       [](Entry& e) { e.payload = std::string("\x07\x00\x00\x00", 4); }, zip::ExtractInflateFailed},
      {"deflated, compressed size 0", [](Entry& e) { e.payload = std::string(); },
       zip::ExtractInflateFailed},
  };
  for (const ReadCase& c : cases) {
    for (const zip::Decoding decoding :
         {zip::Decoding::kWholeWhereItFits, zip::Decoding::kStreamed}) {
      SCOPED_TRACE(decoding == zip::Decoding::kStreamed ? "streamed" : "whole where it fits");
      Archive a;
      Entry e = Named("d/x.txt", text);
      c.change(e);
      a.entries = {e};
      auto ex = OpenBuilt(a);
      ASSERT_NE(ex, nullptr) << c.what;
      ex->SetDecoding(decoding);
      EXPECT_EQ(ex->ExtractItem(0, W("d/x.txt")), c.result) << c.what;
      if (c.result == zip::ExtractOk) {
        const std::string written = ReadBytes(root() / "d" / "x.txt");
        // Not EXPECT_EQ: a failure would print a quarter of a megabyte twice.
        EXPECT_TRUE(written == e.data.substr(0, e.size.value_or(e.data.size())))
            << c.what << ": " << written.size() << " bytes";
      }
      // TestItem reads the same way without writing; it must agree.
      EXPECT_EQ(ex->TestItem(0), c.result) << c.what;
      ex.reset();
      fs::remove_all(root());
    }
  }
}

Entry Sharing(std::string name, std::size_t index) {
  Entry e = Named(std::move(name), "");
  e.sharesHeaderOf = index;
  return e;
}

Entry Extended(std::string name, std::uint32_t by, std::uint16_t method = 8) {
  Entry e = Named(std::move(name));
  e.extendCompressed = by;
  e.method = method;
  return e;
}

// Items whose data overlap another item's local header or data: each row is an archive and
// the result every item must give, looked up, extracted or read.
struct OverlapCase {
  const char* what;
  std::vector<Entry> entries;
  std::vector<std::uint32_t> results;
};

TEST_F(ZipExtractorTest, RefusesItemsWhoseDataOverlapAnother) {
  constexpr std::uint32_t kOk = zip::ExtractOk, kOverlap = zip::ExtractOverlap;
  Entry corrupt = Extended("a.txt", 10);
  corrupt.localCrc = 1;
  const OverlapCase cases[] = {
      // each record wrote the whole stream again: 1 GiB per 46 bytes of directory
      {"three records share one deflate stream",
       {Named("ok.txt"), Named("b1.txt", std::string(200000, 'z')), Sharing("b2.txt", 1),
        Sharing("b3.txt", 1)},
       {kOk, kOverlap, kOverlap, kOverlap}},
      // the next item's header and data are read once more as this item's data
      {"data run into the next item's header",
       {Extended("a.txt", 10), Named("b.txt")},
       {kOverlap, kOverlap}},
      // 30 + 5 + 3: b.txt's local header, its name and its three bytes of deflated data
      {"stored data hold the next item whole",
       {Extended("a.txt", 30 + 5 + 3, 0), Named("b.txt", "x"), Named("c.txt")},
       {kOverlap, kOverlap, kOk}},
      // some tools leave an item's data two bytes into the next header
      {"two bytes at the boundary are tolerated",
       {Extended("a.txt", 2), Named("b.txt")},
       {kOk, kOk}},
      {"near miss: three bytes are not",
       {Extended("a.txt", 3), Named("b.txt")},
       {kOverlap, kOverlap}},
      // an item that cannot be read writes nothing, so it takes nothing from its neighbour
      {"an unreadable item claims no span", {corrupt, Named("b.txt")}, {zip::ExtractCorrupt, kOk}},
  };
  for (const OverlapCase& c : cases) {
    SCOPED_TRACE(c.what);
    Archive a;
    a.entries = c.entries;
    auto ex = OpenBuilt(a);
    ASSERT_NE(ex, nullptr);
    for (std::size_t i = 0; i < c.results.size(); ++i) {
      const auto index = static_cast<std::int32_t>(i);
      ZipItem item;
      EXPECT_EQ(ex->GetItem(index, item), c.results[i]) << i;
      const std::string& name = c.entries[i].name;
      EXPECT_EQ(ex->ExtractItem(index, W(name)), c.results[i]) << i;
      EXPECT_EQ(ex->TestItem(index), c.results[i]) << i;
      EXPECT_EQ(fs::exists(root() / name), c.results[i] == kOk) << i;
    }
    ex.reset();
    fs::remove_all(root());
  }
}

TEST_F(ZipExtractorTest, EmptyFileIsComplete) {
  Archive a;
  Entry e = Named("empty.txt", "");
  e.localExtra = UtBlock(1, {1600000000});
  a.entries = {e};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ASSERT_EQ(ex->ExtractItem(0, W("empty.txt")), zip::ExtractOk);
  platform::FileInfo info;
  ASSERT_TRUE(platform::GetFileInfo(W(root() / "empty.txt"), info));
  EXPECT_EQ(info.size, 0u);
  EXPECT_EQ(UnixSeconds(info.modification), 1600000000);  // times applied, not skipped
}

TEST_F(ZipExtractorTest, CountLookupAndCache) {
  Archive a;
  a.entries = {Named("a"), Named("b"), Named("c")};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  ASSERT_EQ(ex->GetItem(-1, item), zip::ExtractOk);
  EXPECT_EQ(item.index, 3);
  EXPECT_TRUE(item.name.empty());
  EXPECT_EQ(item.attributes, 0u);
  EXPECT_EQ(item.modificationTime, 0u);
  EXPECT_EQ(ex->GetItem(3, item), zip::ExtractBadArgument);
  EXPECT_EQ(ex->GetItem(-2, item), zip::ExtractBadArgument);
  // Going backwards must rewind the cursor rather than read the wrong record.
  ASSERT_EQ(ex->GetItem(2, item), zip::ExtractOk);
  EXPECT_EQ(item.name, W("c"));
  ASSERT_EQ(ex->GetItem(0, item), zip::ExtractOk);
  EXPECT_EQ(item.name, W("a"));
  // After Close the cached record must not answer for an archive that is gone.
  EXPECT_EQ(ex->Close(), zip::ExtractOk);
  EXPECT_EQ(ex->GetItem(0, item), zip::ExtractBadArgument);
  EXPECT_EQ(ex->ExtractItem(0, W("a")), zip::ExtractBadArgument);
}

TEST_F(ZipExtractorTest, UnreadableRecordEndsTheWalk) {
  Archive a;
  a.entries = {Named("a"), Named("b"), Named("c")};
  a.entries[1].directorySignature = 0x12345678;
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  EXPECT_EQ(ex->GetItem(0, item), zip::ExtractOk);
  EXPECT_EQ(ex->GetItem(1, item), zip::ExtractCorrupt);
  // The record behind the broken one cannot be located: a failure, not a retry or a guess.
  EXPECT_EQ(ex->GetItem(2, item), zip::ExtractCorrupt);
  EXPECT_EQ(ex->ExtractItem(2, W("c")), zip::ExtractCorrupt);
}

// Once a walk has met the broken record, a lookup behind it fails without walking the
// directory from its start again: a pass over every item would otherwise cost the square of
// their number. Mending the record behind the reader's back shows whether a lookup walked
// again. The directory spans several read windows, so no stale cached copy could hide a walk.
TEST_F(ZipExtractorTest, LookupsBehindAnUnreadableRecordDoNotWalkAgain) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows keeps an open archive from being written; the cursor code is portable";
#else
  Archive a;
  for (int i = 0; i < 400; ++i)
    a.entries.push_back(Named(std::string(60, 'n') + std::to_string(i)));
  for (Entry& e : a.entries) e.method = 0;
  const std::uint32_t kBroken = 0x12345678;
  a.entries[300].directorySignature = kBroken;
  const std::string bytes = Build(a);
  std::string brokenBytes;
  Put32(brokenBytes, kBroken);
  const std::size_t at = bytes.find(brokenBytes);
  ASSERT_NE(at, std::string::npos);
  ASSERT_EQ(bytes.find(brokenBytes, at + 1), std::string::npos);
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  for (std::int32_t i = 0; i < 300; ++i) ASSERT_EQ(ex->GetItem(i, item), zip::ExtractOk) << i;
  EXPECT_EQ(ex->GetItem(300, item), zip::ExtractCorrupt);

  std::fstream file(scratch_ / "a.zip", std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(at));
  file.write("PK\x01\x02", 4);
  file.close();
  ASSERT_TRUE(file);

  // Success here would mean the lookup walked from entry 0 again and met the mended record.
  EXPECT_EQ(ex->GetItem(301, item), zip::ExtractCorrupt);
  EXPECT_EQ(ex->TestItem(399), zip::ExtractCorrupt);
  EXPECT_EQ(ex->ExtractItem(350, W("x")), zip::ExtractCorrupt);
  EXPECT_FALSE(fs::exists(root() / "x"));
  // Entries in front of the break are still found, going back as usual.
  ASSERT_EQ(ex->GetItem(10, item), zip::ExtractOk);
  EXPECT_EQ(item.name, W(std::string(60, 'n') + "10"));
#endif
}

TEST_F(ZipExtractorTest, StubInFrontShiftsEveryOffset) {
  Archive a;
  a.stub.assign(1000, 's');
  a.entries = {Named("one.txt", "1"), Named("two.txt", "2")};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->ExtractItem(1, W("two.txt")), zip::ExtractOk);
  EXPECT_EQ(ReadBytes(root() / "two.txt"), "2");
}

struct AttributeCase {
  std::uint16_t madeBy;
  std::uint32_t external;
  std::uint32_t attributes;
};

TEST_F(ZipExtractorTest, MapsAttributesByHost) {
  const AttributeCase cases[] = {
      {0x031E, 0100644u << 16, 0x20},  // Unix file: archive only
      {0x031E, 0100444u << 16, 0x21},  // Unix without owner write: read-only
      {0x031E, 040755u << 16, 0x30},   // Unix directory
      {0x0014, 0x10, 0x10},            // DOS folder bit
      {0x0B14, 0x27, 0x27},            // NTFS: read-only, hidden, system, archive
      {0x0E14, 0x01, 0x01},            // VFAT
      {0x0714, 0x02, 0x02},            // Macintosh uses the DOS bits
      {0x0014, 0x100, 0x00},           // bits beyond the five known ones are dropped
  };
  for (const AttributeCase& c : cases) {
    Archive a;
    Entry e = Named("x");
    e.madeBy = c.madeBy;
    e.external = c.external;
    a.entries = {e};
    auto ex = OpenBuilt(a);
    ASSERT_NE(ex, nullptr);
    ZipItem item;
    ASSERT_EQ(ex->GetItem(0, item), zip::ExtractOk);
    EXPECT_EQ(item.attributes, c.attributes) << std::hex << c.madeBy << " " << c.external;
  }
}

TEST_F(ZipExtractorTest, TimesFromDosAndExtendedTimestamp) {
  // The test runs with TZ=CST-8: the DOS time 2020-01-02 03:03:12 is local, so 19:03:12 UTC
  // the day before.
  const std::int64_t dosUtc = 1577905392;
  struct TimeCase {
    const char* what;
    std::string localExtra;
    std::uint32_t dosTime;
    std::int64_t modification, access, creation;
  };
  const std::string other = std::string("\x0a\x00\x04\x00wxyz", 8);
  const TimeCase cases[] = {
      {"DOS only", "", 0x50221866, dosUtc, dosUtc, dosUtc},
      {"UT modification only", UtBlock(1, {1000}), 0x50221866, 1000, dosUtc, dosUtc},
      {"UT all three", UtBlock(7, {1000, 2000, 3000}), 0x50221866, 1000, 2000, 3000},
      // another block first must be stepped over, not read as the timestamp
      {"block before UT", other + UtBlock(1, {1000}), 0x50221866, 1000, dosUtc, dosUtc},
      // flags promise three times, the block holds one: the rest stay DOS times
      {"short UT", UtBlock(7, {1000}), 0x50221866, 1000, dosUtc, dosUtc},
      // the block claims more data than the field holds: nothing beyond the field is read
      {"UT claims too much", UtBlock(3, {1000}, 40), 0x50221866, 1000, dosUtc, dosUtc},
      // month 0 is no calendar time: the documented DOS epoch in every zone
      {"DOS month 0", "", 0x50021866, 315532800, 315532800, 315532800},
      {"DOS 30 February", "", 0x505E1866, 315532800, 315532800, 315532800},
      // a time before 1970 in a UT block is signed
      {"UT negative", UtBlock(1, {0xFFFFFFFFu}), 0x50221866, -1, dosUtc, dosUtc},
  };
  for (const TimeCase& c : cases) {
    Archive a;
    Entry e = Named("x");
    e.localExtra = c.localExtra;
    e.dosTime = c.dosTime;
    a.entries = {e};
    auto ex = OpenBuilt(a);
    ASSERT_NE(ex, nullptr);
    ZipItem item;
    ASSERT_EQ(ex->GetItem(0, item), zip::ExtractOk) << c.what;
    EXPECT_EQ(UnixSeconds(item.modificationTime), c.modification) << c.what;
    EXPECT_EQ(UnixSeconds(item.accessTime), c.access) << c.what;
    EXPECT_EQ(UnixSeconds(item.creationTime), c.creation) << c.what;
  }
}

TEST_F(ZipExtractorTest, FoldersAndFolderChains) {
  Archive a;
  Entry dosFolder = Named("dosdir", "");
  dosFolder.madeBy = 0x0014;
  dosFolder.external = 0x10;
  // Some DOS-host tools store 0 for folders; the trailing separator still makes it one.
  Entry slashFolder = Named("slash\\", "");
  slashFolder.madeBy = 0x0014;
  slashFolder.external = 0;
  a.entries = {dosFolder, slashFolder, Named("data/sub/a.txt", "A")};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  for (std::int32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(ex->GetItem(i, item), zip::ExtractOk);
    EXPECT_EQ(ex->ExtractItem(i, item.name), zip::ExtractOk) << i;
  }
  EXPECT_TRUE(platform::IsFolder(W(root() / "dosdir")));
  EXPECT_TRUE(platform::IsFolder(W(root() / "slash")));
  EXPECT_TRUE(platform::IsFolder(W(root() / "data" / "sub")));
  EXPECT_EQ(ReadBytes(root() / "data" / "sub" / "a.txt"), "A");
}

TEST_F(ZipExtractorTest, NothingIsWrittenOutsideTheRoot) {
  Archive a;
  for (const char* n :
       {"../evil1", "..\\evil2", "ok/../../evil3", "a/..", "CON", "a/x:y", "/abs/../../evil4"}) {
    a.entries.push_back(Named(n, "bad"));
  }
  a.entries.push_back(Named(std::string(300, 'n'), "long"));
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  for (std::int32_t i = 0; i < 8; ++i) {
    const std::uint32_t rc = ex->GetItem(i, item);
    // "ok/../../evil3" cleans to "../evil3" and "/abs/../../evil4" to "../evil4": refused too.
    EXPECT_EQ(rc, zip::ExtractUnsafeName) << i;
    EXPECT_EQ(ex->ExtractItem(i, W("target")), zip::ExtractUnsafeName) << i;
  }
  // A caller's own target name gets the same scrutiny as a stored one.
  EXPECT_EQ(ex->ExtractItem(0, W("../evil5")), zip::ExtractUnsafeName);
  for (const auto& entry : fs::directory_iterator(scratch_)) {
    EXPECT_TRUE(entry.path().filename() == "a.zip" || entry.path().filename() == "root")
        << entry.path();
  }
  EXPECT_FALSE(fs::exists(root() / "target"));
}

TEST_F(ZipExtractorTest, TheUtf8FlagDecidesWhetherANameMayBeInTheOemCodePage) {
  Archive a;
  a.entries = {Named("\xD6\xD0.txt"), Named("\xD6\xD0.txt")};
  a.entries[1].flags = 0x800;  // claims UTF-8: bytes that are not must be refused
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  EXPECT_EQ(ex->GetItem(0, item), zip::ExtractOk);
  EXPECT_FALSE(item.name.empty());
  EXPECT_EQ(ex->GetItem(1, item), zip::ExtractUnsafeName);
  EXPECT_EQ(item.nameVerdict, zip::NameVerdict::kNotUtf8);
}

// WriteItemTo writes only where nothing is: a name that is taken, a file or a link, stays.
TEST_F(ZipExtractorTest, WriteItemToNeverReplacesWhatIsThere) {
  fs::create_directories(root());
  ASSERT_TRUE(WriteBytes(root() / "taken", "mine"));
  Archive a;
  a.entries = {Named("x.txt", "new")};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->WriteItemTo(0, W(root() / "taken")), zip::ExtractCannotOpen);
  EXPECT_EQ(platform::LastFileError(), platform::FileError::kExists);
  EXPECT_EQ(ReadBytes(root() / "taken"), "mine");
  EXPECT_EQ(ex->WriteItemTo(0, W(root() / "fresh")), zip::ExtractOk);
  EXPECT_EQ(ReadBytes(root() / "fresh"), "new");
}

TEST_F(ZipExtractorTest, RootPlusNameBeyondThePathBufferIsRefused) {
  Archive a;
  a.entries = {Named(std::string(250, 'n'))};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  ASSERT_EQ(ex->GetItem(0, item), zip::ExtractOk);  // the name alone fits
  EXPECT_EQ(ex->ExtractItem(0, item.name), zip::ExtractUnsafeName);
}

TEST_F(ZipExtractorTest, ExistingFileIsReplacedEvenWhenTheItemFails) {
  fs::create_directories(root());
  ASSERT_TRUE(WriteBytes(root() / "x.txt", "old contents"));
  Archive a;
  Entry bad = Named("x.txt");
  bad.keepData = 3;
  a.entries = {bad};
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  // The extractor alone truncates: keeping old files is the install transaction's job.
  EXPECT_NE(ex->ExtractItem(0, W("x.txt")), zip::ExtractOk);
  EXPECT_NE(ReadBytes(root() / "x.txt"), "old contents");
}

TEST_F(ZipExtractorTest, FullCountArchiveIsWalkedToTheEnd) {
  Archive a;
  a.entries.resize(65535);
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    a.entries[i].name = std::to_string(i);
    a.entries[i].method = 0;
  }
  auto ex = OpenBuilt(a);
  ASSERT_NE(ex, nullptr);
  ZipItem item;
  for (std::int32_t i = 0; i < 65535; ++i) ASSERT_EQ(ex->GetItem(i, item), zip::ExtractOk);
  EXPECT_EQ(item.name, W("65534"));
}

}  // namespace
