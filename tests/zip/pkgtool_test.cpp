#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include "signing/key_files.h"
#include "signing/package_signature.h"
#include "tests/zip/test_support.h"
#include "tests/zip/zip_builder.h"
#include "tools/pkgtool/pkgtool.h"
#include "update/pending_update.h"
#include "zip/zip_extractor.h"

namespace {

using namespace ziptest;

// What one run printed and returned.
struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string ReadAll(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return text;
}

class PkgtoolTest : public ScratchTest {
 protected:
  Outcome Run(const std::vector<platform::WString>& args) {
    std::FILE* o = std::tmpfile();
    std::FILE* e = std::tmpfile();
    Outcome r;
    r.code = pkgtool::Run(args, o, e);
    r.out = ReadAll(o);
    r.err = ReadAll(e);
    return r;
  }

  // Writes `bytes` as NAME in the scratch folder; returns its path, in the form pkgtool
  // prints and the form it takes.
  platform::WString Put(const std::string& name, const std::string& bytes) {
    EXPECT_TRUE(WriteBytes(scratch_ / name, bytes));
    return W(scratch_ / name);
  }
  std::string Shown(const std::string& name) const { return (scratch_ / name).u8string(); }
};

Entry Item(const std::string& name, const std::string& data = "a") {
  Entry e{};
  e.name = name;
  e.data = data;
  e.localExtra = UtBlock(1, {1600000000});
  return e;
}

TEST_F(PkgtoolTest, ExitCodesProblemLinesAndSummary) {
  Archive good;
  good.entries = {Item("dir/a.txt")};
  const platform::WString goodZip = Put("good.zip", Build(good));

  Archive bad = good;
  Entry crc = Item("crc.txt");
  crc.crc = 7;
  Entry method = Item("m.txt");
  method.method = 12;
  Entry enc = Item("enc.txt");
  enc.password = "secret";
  Entry first = Item("s1.txt");
  Entry again = Item("s2.txt");
  again.sharesHeaderOf = 5;  // its data are s1.txt's: both are refused
  bad.entries = {Item("dir/a.txt"), crc, method, enc, Item("../evil"), first, again};
  const platform::WString badZip = Put("bad.zip", Build(bad));
  const platform::WString dest = W(scratch_ / "dest");

  const std::string unsigned_ = "signature: not signed (the archive has no comment)\n";
  Outcome r = Run({W("list"), goodZip});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "0 archive 1 2020-09-13T12:26:40Z dir/a.txt\n" + unsigned_);
  EXPECT_EQ(r.err, "");
  // Silent success was the fault: a script must see that the check ran.
  r = Run({W("check"), goodZip});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "1 item, 1 bytes, all installable\n" + unsigned_);
  EXPECT_EQ(r.err, "");
  r = Run({W("extract"), goodZip, dest});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "update installed: 1 of 1 items\n");
  EXPECT_EQ(ReadBytes(scratch_ / "dest" / "dir" / "a.txt"), "a");

  // One line per problem on standard error, naming the item and why; the good item is not
  // mentioned, and standard output keeps only results.
  const std::string at = "pkgtool: " + Shown("bad.zip") + ": ";
  const std::string overlap = "data overlap another item's header or data\n";
  r = Run({W("check"), badZip});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, unsigned_);
  EXPECT_EQ(r.err, at + "item 1 crc.txt: CRC mismatch\n" + at +
                       "item 2 m.txt: unsupported method 12 (use stored or deflated)\n" + at +
                       "item 3 enc.txt: encrypted\n" + at +
                       "item 4 ../evil: unsafe name (parent folder step)\n" + at +
                       "item 5 s1.txt: " + overlap + at + "item 6 s2.txt: " + overlap + at +
                       "6 of 7 items would not install\n");
  r = Run({W("list"), badZip});
  // The listing reads no data, but a refused name, an unreadable method and overlapping data
  // show already.
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("4 archive 1 2020-09-13T12:26:40Z ../evil\n"), std::string::npos);
  EXPECT_EQ(r.err, at + "item 2 m.txt: unsupported method 12 (use stored or deflated)\n" + at +
                       "item 4 ../evil: unsafe name (parent folder step)\n" + at +
                       "item 5 s1.txt: " + overlap + at + "item 6 s2.txt: " + overlap + at +
                       "4 of 7 items would not install\n");
  // The install decides on every item before it writes one: a name it skips is told, and an
  // item whose data overlap another's stops it before any data are read.
  r = Run({W("extract"), badZip, dest});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, at + "item 4 ../evil: unsafe name (parent folder step); skipped\n" + at +
                       "item 5 s1.txt: " + overlap +
                       "update rolled back at item 5 (s1.txt), staging: data overlap another "
                       "item's header or data; the old version is back; the package is deleted\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadBytes(scratch_ / "dest" / "dir" / "a.txt"), "a");
  EXPECT_FALSE(fs::exists(scratch_ / "evil"));
}

TEST_F(PkgtoolTest, CheckWarnsAboutNamesTheRulesRewrite) {
  Archive a;
  a.entries = {Item("C:/x.txt"), Item("\\lead.txt"), Item("a/../b.txt"), Item("plain.txt")};
  const platform::WString zip = Put("rewritten.zip", Build(a));
  const Outcome r = Run({W("check"), zip});
  // Rewritten names still install (under the new name): a warning, not a problem.
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out,
            "4 items, 4 bytes, all installable\nsignature: not signed (the archive has no "
            "comment)\n");
  const std::string at = "pkgtool: " + Shown("rewritten.zip") + ": warning: ";
  EXPECT_EQ(r.err, at + "item 0 C:/x.txt: drive letter dropped, leading separator dropped, " +
                       "installs as x.txt\n" + at +
                       "item 1 \\lead.txt: leading separator dropped, installs as lead.txt\n" + at +
                       "item 2 a/../b.txt: everything before a parent step dropped, installs " +
                       "as b.txt\n");
}

TEST_F(PkgtoolTest, SaysWhyAnArchiveDoesNotOpen) {
  Archive one;
  one.entries = {Item("a.txt", "data")};
  const std::string whole = Build(one);
  Archive spanned = one;
  spanned.thisDisk = 1;
  Archive zip64 = one;
  zip64.zip64Records = true;
  std::string inconsistent = whole;
  inconsistent[inconsistent.size() - 6] = '\x7F';  // directory offset beyond the end record
  std::string allOnes = inconsistent;
  allOnes.replace(allOnes.size() - 6, 4, "\xFF\xFF\xFF\xFF");

  struct Case {
    const char* why;
    const char* file;
    std::optional<std::string> bytes;  // none: no such file
    const char* message;
  } const cases[] = {
      // One message covered all of these; each needs a different fix.
      {"missing file", "missing.zip", std::nullopt, "no such file"},
      {"empty download", "empty.zip", "", "empty file"},
      {"download cut short", "cut.zip", whole.substr(0, whole.size() - 30),
       "truncated (the end of the archive is missing)"},
      {"not an archive at all", "text.zip", "release notes\n", "not a zip archive"},
      {"near miss: PK but not a local header", "pk.zip", "PK\x05 and more", "not a zip archive"},
      {"ZIP64 records", "z64.zip", Build(zip64),
       "ZIP64 archive (unsupported: sizes, offsets and counts must fit the 32-bit fields)"},
      {"ZIP64 marker in the end record", "ones.zip", allOnes,
       "ZIP64 archive (unsupported: sizes, offsets and counts must fit the 32-bit fields)"},
      {"last part of a spanned archive", "span.zip", Build(spanned),
       "part of a spanned or split archive (unsupported: make one single file)"},
      {"first part of a split archive", "split.z01",
       std::string("PK\x07\x08", 4) + whole.substr(0, 40),
       "part of a spanned or split archive (unsupported: make one single file)"},
      {"directory beyond the end record", "bad.zip", inconsistent,
       "damaged (the end record does not match the central directory)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const platform::WString path = c.bytes ? Put(c.file, *c.bytes) : W(scratch_ / c.file);
    const std::string expected = "pkgtool: " + Shown(c.file) + ": " + c.message + "\n";
    for (const char* command : {"list", "check"}) {
      const Outcome r = Run({W(command), path});
      EXPECT_EQ(r.code, 2);
      EXPECT_EQ(r.err, expected);
      EXPECT_EQ(r.out, "");
    }
    const Outcome r = Run({W("extract"), path, W(scratch_ / "dest")});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, expected);
  }
  const Outcome folder = Run({W("check"), W(scratch_)});
  EXPECT_EQ(folder.err, "pkgtool: " + scratch_.u8string() + ": is a folder\n");
}

TEST_F(PkgtoolTest, FollowsCommandLineHabits) {
  Archive one;
  one.entries = {Item("a.txt")};
  const platform::WString zip = Put("a.zip", Build(one));
  struct Case {
    const char* why;
    std::vector<platform::WString> args;
    int code;
    const char* outStart;  // what standard output begins with
    const char* errStart;  // what standard error begins with
  } const cases[] = {
      // Help asked for is output, not an error.
      {"--help", {W("--help")}, 0, "usage: pkgtool list", ""},
      {"-h", {W("-h")}, 0, "usage: pkgtool list", ""},
      {"help after a command", {W("check"), W("--help")}, 0, "usage: pkgtool list", ""},
      {"--version", {W("--version")}, 0, "pkgtool " LAUNCHER_VERSION "\n", ""},
      // Usage errors: the usage on standard error, exit 2, nothing on standard output.
      {"no arguments", {}, 2, "", "usage: pkgtool list"},
      {"missing archive", {W("list")}, 2, "", "usage: pkgtool list"},
      {"unknown command", {W("frobnicate"), zip}, 2, "", "pkgtool: unknown command frobnicate\n"},
      {"unknown option", {W("list"), W("--jsn"), zip}, 2, "", "pkgtool: unknown option --jsn\n"},
      {"extract has no JSON form", {W("extract"), W("--json"), zip, W("d")}, 2, "", "usage:"},
      {"empty destination", {W("extract"), zip, W("")}, 2, "", "pkgtool: DEST must not be empty"},
      // --key belongs to sign and verify, and they cannot do without it.
      {"sign without --key", {W("sign"), zip}, 2, "", "pkgtool: --key is needed\n"},
      {"--key without its file",
       {W("verify"), zip, W("--key")},
       2,
       "",
       "pkgtool: --key needs a file\n"},
      {"--key for check",
       {W("check"), W("--key=k.pem"), zip},
       2,
       "",
       "pkgtool: --key is for sign, verify, pack and extract only\n"},
      // A release number in the one form a signature carries, and never left out: a package
      // signed without one is refused by every launcher that installed a numbered one.
      {"sign without --sequence",
       {W("sign"), W("--key=k.pem"), zip},
       2,
       "",
       "pkgtool: --sequence is needed: the release's number (1 and up)\n"},
      {"a sequence with a leading zero",
       {W("sign"), W("--key=k.pem"), W("--sequence"), W("07"), zip},
       2,
       "",
       "pkgtool: --sequence: a decimal number from 1 to 18446744073709551615, without leading "
       "zeros\n"},
      {"sequence 0",
       {W("sign"), W("--key=k.pem"), W("--sequence"), W("0"), zip},
       2,
       "",
       "pkgtool: --sequence: a decimal"},
      {"a product with a blank",
       {W("sign"), W("--key=k.pem"), W("--sequence"), W("7"), W("--product"), W("A B"), zip},
       2,
       "",
       "pkgtool: --product: 1 to 64 characters of A-Z a-z 0-9 . _ -\n"},
      {"--sequence for verify",
       {W("verify"), W("--key=k.pem"), W("--sequence"), W("7"), zip},
       2,
       "",
       "pkgtool: --sequence goes with sign and pack only\n"},
      {"--product for extract without a key",
       {W("extract"), W("--product"), W("P"), zip, W("dest")},
       2,
       "",
       "pkgtool: --product goes with sign, pack and extract --key only\n"},
      // A passphrase opens a private key: verify has none to open.
      {"--passphrase-env for verify",
       {W("verify"), W("--key=k.pem"), W("--passphrase-env"), W("P"), zip},
       2,
       "",
       "pkgtool: --passphrase-env is for sign and pack only\n"},
      {"verify has no JSON form",
       {W("verify"), W("--json"), W("--key=k.pem"), zip},
       2,
       "",
       "usage:"},
      // "--" ends the options, so an archive may be named like one.
      {"-- before a name", {W("check"), W("--"), zip}, 0, "1 item, 1 bytes", ""},
      {"--install-folder without a folder",
       {W("check"), zip, W("--install-folder")},
       2,
       "",
       "pkgtool: --install-folder needs a folder\n"},
      {"--install-folder with another command",
       {W("list"), W("--install-folder"), W("C:\\x"), zip},
       2,
       "",
       "pkgtool: --install-folder goes with check and pack only\n"},
      // pack's options: its folders and output, the key only with a sequence number.
      {"pack without -o",
       {W("pack"), W("--from"), W("a"), W("--to"), W("b")},
       2,
       "",
       "pkgtool: pack needs --from, --to and -o\n"},
      {"--full for check", {W("check"), W("--full"), zip}, 2, "", "pkgtool: --from, --to"},
      {"--key without --sequence",
       {W("pack"), W("--from"), W("a"), W("--to"), W("b"), W("-o"), W("p.zip"), W("--key"),
        W("k.pem")},
       2,
       "",
       "pkgtool: --key and --sequence go together\n"},
      {"--sequence 0",
       {W("pack"), W("--from"), W("a"), W("--to"), W("b"), W("-o"), W("p.zip"), W("--key"),
        W("k.pem"), W("--sequence"), W("0")},
       2,
       "",
       "pkgtool: --sequence: a decimal number from 1 to 18446744073709551615, without leading "
       "zeros\n"},
      {"a folder that is not there",
       {W("pack"), W("--from"), W(scratch_ / "none"), W("--to"), W(scratch_), W("-o"),
        W(scratch_ / "p.zip")},
       2,
       "",
       "pkgtool: pack: "},
      // Nothing interrupted: recover has nothing to end, and says so.
      {"recover", {W("recover"), W(scratch_)}, 0, "update: no interrupted install\n", ""},
      {"recover without a folder", {W("recover")}, 2, "", "usage:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Outcome r = Run(c.args);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out.rfind(c.outStart, 0), 0u) << r.out;
    EXPECT_EQ(r.err.rfind(c.errStart, 0), 0u) << r.err;
    if (*c.outStart == '\0') {
      EXPECT_EQ(r.out, "");
    }
    if (*c.errStart == '\0') {
      EXPECT_EQ(r.err, "");
    }
  }
}

// sign and verify with the throwaway keys of make_test_keys.sh, one step after another on the
// same few files.
TEST_F(PkgtoolTest, SignsAndVerifiesWithAKeyFile) {
  const fs::path keys = TestKeyFolder();
  if (ReadBytes(keys / "product.pem") == "<missing>") GTEST_SKIP() << "no keys: run through ctest";
  const std::string id = ReadBytes(keys / "product.keyid").substr(0, 64);
  signing::PublicKey otherKey;
  ASSERT_EQ(signing::PublicKeyFromPem(ReadBytes(keys / "other.pub.pem"), otherKey),
            signing::KeyFileResult::kOk);
  const std::string otherId = signing::HexKeyId(otherKey.id);
  Archive a;
  a.entries = {Item("dir/a.txt")};
  const std::string unsignedBytes = Build(a);
  Put("p.zip", unsignedBytes);
  a.comment = "made by hand";
  Put("commented.zip", Build(a));
  Put("trailing.zip", unsignedBytes + "junk");
  Put("notes.zip", "release notes\n");
  auto at = [&](const char* file) { return "pkgtool: " + Shown(file) + ": "; };
  auto keyAt = [&](const char* name) { return "pkgtool: " + (keys / name).u8string() + ": "; };
  const std::string release = "product Veltmora, sequence 7";
  const bool decrypts = platform::kDecryptsKeyFiles;
  const std::string encryptedKey =
      decrypts ? "an encrypted private key (give its passphrase in an environment variable: "
                 "--passphrase-env NAME)\n"
               : "an encrypted private key (pkgtool on Windows reads unencrypted keys only; sign "
                 "with pkgtool on Linux or with openssl, see docs/update-packages.md)\n";
#ifndef _WIN32
  setenv("PKGTOOL_TEST_PASSPHRASE", "secret", 1);
  setenv("PKGTOOL_TEST_WRONG_PASSPHRASE", "Secret", 1);
#endif

  struct Step {
    const char* why;
    const char* command;
    const char* key;  // in the key folder; none for check
    const char* archive;
    int code;
    std::string out, err;
    const char* passphraseEnv = nullptr;  // --passphrase-env
  } const steps[] = {
      {"an unsigned archive", "verify", "product.pub.pem", "p.zip", 1, "",
       at("p.zip") + "not signed (the archive has no comment)\n"},
      {"signing", "sign", "product.pem", "p.zip", 0, "signed by key " + id + " (" + release + ")\n",
       ""},
      {"the product key's signature", "verify", "product.pub.pem", "p.zip", 0,
       "signature valid: signed by key " + id + " (" + release + ")\n", ""},
      {"check tells it, unchecked", "check", nullptr, "p.zip", 0,
       "1 item, 1 bytes, all installable\nsignature: signed by key " + id + " (" + release +
           "; not checked: use pkgtool verify)\n",
       ""},
      {"another key's public key", "verify", "other.pub.pem", "p.zip", 1, "",
       at("p.zip") + "signed by another key (" + id + "), not by " + otherId + "\n"},
      // A signature is replaced, never added to; the signed bytes stay as they were.
      {"signing again with another key", "sign", "other.pem", "p.zip", 0,
       "signed by key " + otherId + " (" + release + ")\n",
       at("p.zip") + "warning: the signature by key " + id + " (" + release + ") is replaced\n"},
      {"now by the other key", "verify", "product.pub.pem", "p.zip", 1, "",
       at("p.zip") + "signed by another key (" + otherId + "), not by " + id + "\n"},
      {"an archive's own comment gives way", "sign", "product.pem", "commented.zip", 0,
       "signed by key " + id + " (" + release + ")\n",
       at("commented.zip") + "warning: the archive's comment is replaced by the signature\n"},
      // Bytes behind the archive would stay unsigned: not signed, and the file unchanged.
      {"bytes after the archive", "sign", "product.pem", "trailing.zip", 1, "",
       at("trailing.zip") +
           "not signed: the archive's comment does not end where the file does (bytes after "
           "the archive, or a comment cut short)\n"},
      {"not an archive", "sign", "product.pem", "notes.zip", 2, "",
       at("notes.zip") + "not a zip archive\n"},
      // Key files of the wrong kind say what to give instead.
      {"signing with the public key", "sign", "product.pub.pem", "p.zip", 2, "",
       keyAt("product.pub.pem") + "a public key (signing needs the private key)\n"},
      {"verifying with the private key", "verify", "product.pem", "p.zip", 2, "",
       keyAt("product.pem") +
           "a private key (give the public key: openssl pkey -in KEY -pubout)\n"},
      {"a passphrase-protected key", "sign", "encrypted.pem", "p.zip", 2, "",
       keyAt("encrypted.pem") + encryptedKey},
      // Natively the passphrase opens it; on Windows the system decrypts no key file.
      {"with its passphrase", "sign", "encrypted.pem", "p.zip", decrypts ? 0 : 2,
       decrypts ? "signed by key " + id + " (" + release + ")\n" : "",
       decrypts ? at("p.zip") + "warning: the signature by key " + otherId + " (" + release +
                      ") is replaced\n"
                : keyAt("encrypted.pem") + encryptedKey,
       "PKGTOOL_TEST_PASSPHRASE"},
      {"with a wrong passphrase", "sign", "encrypted.pem", "p.zip", 2, "",
       keyAt("encrypted.pem") +
           (decrypts ? "the passphrase does not open this key (or the key is damaged)\n"
                     : encryptedKey),
       "PKGTOOL_TEST_WRONG_PASSPHRASE"},
      {"a passphrase variable that is not set", "sign", "encrypted.pem", "p.zip", 2, "",
       decrypts ? "pkgtool: the environment variable PKGTOOL_TEST_UNSET is not set\n"
                : keyAt("encrypted.pem") + encryptedKey,
       "PKGTOOL_TEST_UNSET"},
      {"a public key that is no point of the curve", "verify", "zero.pub.pem", "p.zip", 2, "",
       keyAt("zero.pub.pem") + "its public key is not a point of the P-256 curve\n"},
      {"no key file", "sign", "none.pem", "p.zip", 2, "", keyAt("none.pem") + "cannot be read\n"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.why);
    std::vector<platform::WString> args = {W(s.command)};
    if (s.key != nullptr) args.insert(args.end(), {W("--key"), W(keys / s.key)});
    if (std::string(s.command) == "sign") args.insert(args.end(), {W("--sequence"), W("7")});
    if (s.passphraseEnv != nullptr)
      args.insert(args.end(), {W("--passphrase-env"), W(s.passphraseEnv)});
    args.push_back(W(scratch_ / s.archive));
    const Outcome r = Run(args);
    EXPECT_EQ(r.code, s.code);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.err, s.err);
  }
  // Signing changed nothing but the comment, and rewrote the archives it signed whole.
  const std::string signedBytes = ReadBytes(scratch_ / "p.zip");
  EXPECT_EQ(signedBytes.substr(0, unsignedBytes.size() - 2),
            unsignedBytes.substr(0, unsignedBytes.size() - 2));
  EXPECT_EQ(ReadBytes(scratch_ / "trailing.zip"), unsignedBytes + "junk");
  EXPECT_EQ(ReadBytes(scratch_ / "notes.zip"), "release notes\n");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(scratch_))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left,
            (std::vector<std::string>{"commented.zip", "notes.zip", "p.zip", "trailing.zip"}));
  // A byte changed after signing.
  std::string changed = ReadBytes(scratch_ / "commented.zip");
  changed[31] ^= 1;
  const Outcome r =
      Run({W("verify"), W("--key=") + W(keys / "product.pub.pem"), Put("changed.zip", changed)});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, at("changed.zip") +
                       "the signature does not match (the package was changed after signing)\n");
}

// extract --key gates as a launcher built with the key does, one step after another on the
// same install folder: the release order through its record, which the install writes.
TEST_F(PkgtoolTest, ExtractWithAKeyRefusesWhatTheLauncherRefuses) {
  const fs::path keys = TestKeyFolder();
  if (ReadBytes(keys / "product.pem") == "<missing>") GTEST_SKIP() << "no keys: run through ctest";
  Archive a;
  a.entries = {Item("a.txt")};
  const std::string unsignedBytes = Build(a);
  const fs::path dest = scratch_ / "dest";
  struct Step {
    const char* why;
    const char* sequence;  // signed as this release; null: unsigned
    const char* product;   // signed for this product
    bool keyed;            // extract --key
    int code;
    std::string line;  // the launcher's line, on standard output when installed
    const char* record;
  } const steps[] = {
      {"release 7", "7", "Veltmora", true, 0, "update installed: 1 of 1 items\n", "7\n"},
      {"release 7 again", "7", "Veltmora", true, 0, "update installed: 1 of 1 items\n", "7\n"},
      {"an older release", "6", "Veltmora", true, 1,
       "update not installed: package 6 is older than the installed 7; a launcher deletes the "
       "package\n",
       "7\n"},
      {"another product's release", "8", "Other", true, 1,
       "update not installed: the package is for another product (Other); a launcher deletes "
       "the package\n",
       "7\n"},
      {"unsigned", nullptr, nullptr, true, 1,
       "update not installed: the package is not signed by this product's key; a launcher "
       "deletes the package\n",
       "7\n"},
      // Without a key nothing is checked, and nothing recorded.
      {"an older release, unchecked", "6", "Veltmora", false, 0, "update installed: 1 of 1 items\n",
       "7\n"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.why);
    const platform::WString zip = Put("p.zip", unsignedBytes);
    if (step.sequence != nullptr) {
      ASSERT_EQ(Run({W("sign"), W("--key"), W(keys / "product.pem"), W("--sequence"),
                     W(step.sequence), W("--product"), W(step.product), zip})
                    .code,
                0);
    }
    std::vector<platform::WString> args = {W("extract")};
    if (step.keyed) args.insert(args.end(), {W("--key"), W(keys / "product.pub.pem")});
    args.insert(args.end(), {zip, W(dest)});
    const Outcome r = Run(args);
    EXPECT_EQ(r.code, step.code);
    EXPECT_EQ(step.code == 0 ? r.out : r.err, step.line);
    EXPECT_EQ(ReadBytes(dest / "update.sequence"), step.record);
  }
}

TEST_F(PkgtoolTest, JsonHasOneObjectPerItem) {
  Archive a;
  Entry folder = Item("d/", "");
  folder.method = 0;
  folder.external = (040755u << 16) | 0x10;
  Entry readOnly = Item("d\\\xE4\xB8\xAD.txt", "abc");  // a backslash, escaped in JSON
  readOnly.external = 0100444u << 16;
  Entry crc = Item("C:/crc.txt");
  crc.crc = 7;
  Entry notUtf8 = Item("bad\xFF");
  notUtf8.flags = 0x800;  // claims UTF-8, so no code page may read it otherwise
  a.entries = {folder, readOnly, crc, notUtf8};
  const platform::WString zip = Put("j.zip", Build(a));

  // Python's json module reads this in pkgtool_json_test; here the exact text.
  Outcome r = Run({W("check"), W("--json"), zip});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out,
            "{\"signature\": {\"state\": \"unsigned\", \"key\": null, \"product\": null, "
            "\"sequence\": null, \"text\": \"not signed (the archive has no comment)\"},\n"
            " \"items\": [\n"
            " {\"index\": 0, \"name\": \"d/\", \"stored_name\": \"d/\", \"size\": 0, "
            "\"compressed_size\": 0, \"attributes\": [\"folder\", \"archive\"], \"mtime\": "
            "\"2020-09-13T12:26:40Z\", \"problems\": [], \"warnings\": []}\n"
            ", {\"index\": 1, \"name\": \"d\\\\\xE4\xB8\xAD.txt\", \"stored_name\": "
            "\"d\\\\\xE4\xB8\xAD.txt\", \"size\": 3, \"compressed_size\": 5, "
            "\"attributes\": [\"readonly\", \"archive\"], \"mtime\": \"2020-09-13T12:26:40Z\", "
            "\"problems\": [], \"warnings\": []}\n"
            ", {\"index\": 2, \"name\": \"crc.txt\", \"stored_name\": \"C:/crc.txt\", \"size\": "
            "1, \"compressed_size\": 3, \"attributes\": [\"archive\"], \"mtime\": "
            "\"2020-09-13T12:26:40Z\", \"problems\": [\"CRC mismatch\"], \"warnings\": []}\n"
            ", {\"index\": 3, \"name\": null, \"stored_name\": \"bad\\\\xFF\", \"size\": 1, "
            "\"compressed_size\": 3, \"attributes\": [\"archive\"], \"mtime\": "
            "\"2020-09-13T12:26:40Z\", \"problems\": [\"unsafe name (name is not UTF-8)\"], "
            "\"warnings\": []}\n"
            " ]}\n");
  // The listing reads no data: the CRC is not checked, the rewritten name warned about.
  r = Run({W("list"), W("--json"), zip});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("\"name\": \"crc.txt\", \"stored_name\": \"C:/crc.txt\", \"size\": 1, "
                       "\"compressed_size\": 3, \"attributes\": [\"archive\"], \"mtime\": "
                       "\"2020-09-13T12:26:40Z\", \"problems\": [], \"warnings\": [\"drive "
                       "letter dropped, leading separator dropped, installs as crc.txt\"]}"),
            std::string::npos)
      << r.out;
}

// check says what the launcher would do with each item for its name: skipped past the path
// rule (for the given install folder), kept for the install's own files, replaced by a later
// item of the same name as Windows compares names, or clashing with a folder of the package.
TEST_F(PkgtoolTest, CheckSaysWhatTheLauncherDoesWithEachName) {
  Archive a;
  a.entries = {Item(std::string(240, 'n') + ".txt"),  // 244 units
               Item("update.journal"),
               Item("App.dll"),
               Item("APP.DLL"),
               Item("lib/x.dll"),
               Item("LIB")};
  const platform::WString zip = Put("names.zip", Build(a));
  const std::string at = "pkgtool: " + Shown("names.zip") + ": ";
  struct Case {
    const char* why;
    std::vector<platform::WString> args;
    std::string tooLong;  // the line for item 0, or empty
  } const cases[] = {
      // Without a folder, only names too long for any (a drive root) show.
      {"no folder given", {W("check"), zip}, ""},
      {"a folder of 16 units",
       {W("check"), W("--install-folder"), W("C:\\Games\\Veltmo"), zip},
       at + "item 0 " + std::string(240, 'n') +
           ".txt: path too long: 260 units with the install folder, at most 259; skipped\n"},
      // its separator counted once, whether given or not
      {"the same folder with its separator",
       {W("check"), W("--install-folder"), W("C:\\Games\\Veltmo\\"), zip},
       at + "item 0 " + std::string(240, 'n') +
           ".txt: path too long: 260 units with the install folder, at most 259; skipped\n"},
      {"a folder of 15 units", {W("check"), W("--install-folder"), W("C:\\Games\\Veltm"), zip}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const Outcome r = Run(c.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              c.tooLong + at +
                  "item 1 update.journal: name kept for the install's own files; skipped\n" + at +
                  "warning: item 3 APP.DLL: replaces item 2 (the same name as Windows "
                  "compares names)\n" +
                  at + "item 5 LIB: a folder of item 4 has the same name\n" + at +
                  std::to_string(c.tooLong.empty() ? 2 : 3) + " of 6 items would not install\n");
  }
}

// check and the install decide on names with one rule: a package check refuses for a clash is
// one the install refuses as the package's fault, and one it passes installs.
TEST_F(PkgtoolTest, CheckAndTheInstallAgreeOnClashes) {
  struct Case {
    const char* why;
    std::vector<std::string> names;  // a folder ends in '/'
    bool clash;
  } const cases[] = {
      {"a file and a folder on its way", {"lib/x.dll", "LIB"}, true},
      {"a folder item and a file", {"data/", "Data"}, true},
      {"a file under a file", {"a.txt", "A.TXT/b"}, true},
      {"one file twice, as Windows compares names", {"App.dll", "APP.DLL"}, false},
      {"a folder twice", {"x/", "X/y.txt", "x/Z.txt"}, false},
      {"dot steps name one file", {"./bin//a.dll", "bin/A.dll"}, false},
      // distinct names: the install makes both
      {"a file and its name with a suffix", {"lib", "lib2/x"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Archive a;
    for (const std::string& name : c.names) {
      Entry e = Item(name, name.back() == '/' ? "" : name);
      if (name.back() == '/') {
        e.method = 0;
        e.external = 040755u << 16;
      }
      a.entries.push_back(e);
    }
    const platform::WString zip = Put("clash.zip", Build(a));
    const Outcome check = Run({W("check"), zip});
    const bool checkClash = check.err.find("has the same name") != std::string::npos;
    EXPECT_EQ(checkClash, c.clash) << check.err;
    const fs::path dest = scratch_ / "dest";
    fs::remove_all(dest);
    const Outcome extract = Run({W("extract"), zip, W(dest)});
    const bool installClash = extract.code != 0 &&
                              extract.err.find("has its name") != std::string::npos &&
                              extract.err.find("the package is deleted") != std::string::npos;
    EXPECT_EQ(installClash, c.clash) << extract.err;
    EXPECT_EQ(extract.code == 0, !c.clash) << extract.err;
  }
}

// --- pack -----------------------------------------------------------------------------------

// Makes the files `files` (name, bytes) under `root`, folders on the way included.
void MakeTree(const fs::path& root, const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [name, bytes] : files) {
    const fs::path p = root / fs::u8path(name);
    fs::create_directories(p.parent_path());
    ASSERT_TRUE(WriteBytes(p, bytes)) << name;
  }
}

// Bytes deflate cannot shrink.
std::string Noise(std::size_t n) {
  std::string s(n, '\0');
  std::uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Every file under `root` (relative UTF-8 name -> bytes) and every folder (name + "/").
std::map<std::string, std::string> Contents(const fs::path& root) {
  std::map<std::string, std::string> found;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string name = fs::relative(e.path(), root).generic_u8string();
    found[e.is_directory() ? name + "/" : name] = e.is_directory() ? "" : ReadBytes(e.path());
  }
  return found;
}

void SetZone(const char* tz) {
#ifdef _WIN32
  _putenv_s("TZ", tz);
  _tzset();
#else
  setenv("TZ", tz, 1);
  tzset();
#endif
}

class PackTest : public PkgtoolTest {
 protected:
  Outcome Pack(const std::string& output, std::vector<platform::WString> more = {}) {
    std::vector<platform::WString> args = {
        W("pack"),           W("--from"), W(scratch_ / "old"), W("--to"),
        W(scratch_ / "new"), W("-o"),     W(scratch_ / output)};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args);
  }
  // Nothing of a refused pack may be left: no package, no temporary one, no trial folder.
  void ExpectNothingWritten(const std::string& output) {
    EXPECT_FALSE(fs::exists(scratch_ / output));
    EXPECT_FALSE(fs::exists(scratch_ / (output + ".part~")));
    EXPECT_FALSE(fs::exists(scratch_ / (output + ".trial~")));
  }
};

TEST_F(PackTest, GivesTheNewVersionOverTheOldOneAndTheSameBytesEveryTime) {
  MakeTree(scratch_ / "old", {{"bin/app.dll", "old app"},
                              {"same.txt", "same"},
                              {"data/skin.pak", "old skin"},
                              {"gone/old.txt", "the new version has no such file"}});
  std::string app;
  for (int i = 0; i < 500; ++i) app += "new app\n";
  MakeTree(scratch_ / "new", {{"bin/app.dll", app},
                              {"same.txt", "same"},
                              {"data/skin.pak", "new skin"},
                              {"bin/noise.bin", Noise(5000)},
                              {"\xe8\xaf\xb4\xe6\x98\x8e.txt", "wide name"},
                              {"cfg/ro.cfg", "read-only"}});
  fs::create_directories(scratch_ / "new" / "logs");
  // A read-only file the package carries, and one that stays as it was: the trial install's
  // copy of the old version must keep it read-only, or the proof finds a difference there.
  for (const fs::path& p : {scratch_ / "new" / "cfg" / "ro.cfg", scratch_ / "old" / "same.txt",
                            scratch_ / "new" / "same.txt"}) {
    fs::permissions(p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
  }

  // Files the new version no longer has: told, and no package unless asked for.
  Outcome r = Pack("update.zip");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("pkgtool: pack: leftover: gone/ (a folder"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("pkgtool: pack: leftover: gone/old.txt (a file"), std::string::npos);
  ExpectNothingWritten("update.zip");
  r = Pack("update.zip", {W("--allow-leftovers")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("packed 6 items, ", 0), 0u) << r.out;
  ExpectNothingWritten("update.zip.part~");
  const std::string first = ReadBytes(scratch_ / "update.zip");

  // The same folders give the same bytes, also where the packing machine's zone differs: the
  // DOS times are written in UTC.
  SetZone("CST-8");
  r = Pack("again.zip", {W("--allow-leftovers")});
  SetZone("UTC0");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(ReadBytes(scratch_ / "again.zip") == first);

  // The launcher's reader sees the items in the order of their names' bytes, the text
  // deflated, the noise stored, the UTF-8 flag on the wide name, the attribute read-only.
  std::uint32_t rc = 0;
  auto ex = zip::ZipExtractor::Open(W(scratch_ / "update.zip"), W(scratch_), &rc);
  ASSERT_TRUE(ex);
  const struct {
    const char* name;
    std::uint32_t method;      // 8 deflated, 0 stored
    std::uint32_t attributes;  // read-only and folder bits
    std::uint32_t utf8Flag;
  } want[] = {{"bin/app.dll", 8, 0, 0},
              {"bin/noise.bin", 0, 0, 0},
              {"cfg/ro.cfg", 0, platform::kAttrReadOnly, 0},
              {"data/skin.pak", 0, 0, 0},
              {"logs/", 0, platform::kAttrFolder, 0},
              {"\xe8\xaf\xb4\xe6\x98\x8e.txt", 0, 0, zip::kFlagUtf8Name}};
  ASSERT_EQ(ex->itemCount(), 6u);
  for (std::int32_t i = 0; i < 6; ++i) {
    zip::ZipItem item;
    ASSERT_EQ(ex->GetItem(i, item), zip::ExtractOk);
    EXPECT_EQ(item.storedName, want[i].name);
    EXPECT_EQ(ex->TestItem(i), zip::ExtractOk);
    EXPECT_EQ(item.method, want[i].method) << want[i].name;
    EXPECT_EQ(item.attributes & (platform::kAttrReadOnly | platform::kAttrFolder),
              want[i].attributes)
        << want[i].name;
    EXPECT_EQ(item.flags & zip::kFlagUtf8Name, want[i].utf8Flag) << want[i].name;
  }
  ex.reset();

  // Extracted over a copy of the old version, the package gives the new one (leftovers aside).
  fs::copy(scratch_ / "old", scratch_ / "dest", fs::copy_options::recursive);
  r = Run({W("extract"), W(scratch_ / "update.zip"), W(scratch_ / "dest")});
  EXPECT_EQ(r.code, 0) << r.err;
  std::map<std::string, std::string> got = Contents(scratch_ / "dest");
  got.erase("gone/");
  got.erase("gone/old.txt");
  EXPECT_TRUE(got == Contents(scratch_ / "new"));

  // --full carries every file and empty folder of the new version.
  r = Pack("full.zip", {W("--allow-leftovers"), W("--full")});
  EXPECT_EQ(r.out.rfind("packed 7 items, ", 0), 0u) << r.out;
#ifndef _WIN32
  // Other readers read it too.
  const std::string zipPath = (scratch_ / "update.zip").string();
  EXPECT_EQ(std::system(("unzip -tqq '" + zipPath + "' >/dev/null").c_str()), 0);
  EXPECT_EQ(std::system(("bsdtar -tf '" + zipPath + "' >/dev/null").c_str()), 0);
#endif
}

TEST_F(PackTest, RefusesNamesTheLauncherWouldNotInstallWholeAndWritesNothing) {
  const std::string deep = "d/" + std::string(200, 'x');
  struct Case {
    const char* why;
    std::vector<std::string> files;  // of the new version
    std::vector<platform::WString> options;
    std::string refusal;  // what standard error says
  } cases[] = {
  // Windows lets none of these names be made, so only a release folder made elsewhere
  // can hold them.
#ifndef _WIN32
      {"a device", {"CON.txt"}, {}, "item 0 CON.txt: unsafe name (device name)"},
      {"a trailing dot", {"name."}, {}, "item 0 name.: unsafe name (step ends in a dot or space)"},
      {"a trailing blank",
       {"dir /x"},
       {},
       "item 0 dir /x: unsafe name (step ends in a dot or space)"},
      {"a control character",
       {"a\tb"},
       {},
       "item 0 a\tb: unsafe name (character not allowed in names)"},
      {"a stream colon", {"d/a:b"}, {}, "item 0 d/a:b: unsafe name (drive or stream colon)"},
      {"a drive's form", {"a:b"}, {}, "item 0 a:b: the launcher would install it as b"},
      {"one file as Windows compares names",
       {"App.dll", "app.dll"},
       {},
       "item 1 app.dll: replaces item 0 (the same name as Windows compares names)"},
      {"a file and a folder of one name",
       {"LIB/x.dll", "lib"},
       {},
       "item 1 lib: a folder of item 0 has the same name"},
#endif
      {"a short-name form",
       {"VELTMO~1.EXE"},
       {},
       "item 0 VELTMO~1.EXE: unsafe name (8.3 short name form)"},
      {"the install's own file",
       {"update.journal"},
       {},
       "item 0 update.journal: name kept for the install's own files; skipped"},
      // 61 units of folder and separator and 202 of name pass 259; the default folder does not.
      {"past the path rule",
       {deep},
       {W("--install-folder"), W("60")},
       "item 0 " + deep + ": path too long: 263 units with the install folder, at most 259"},
      // Without --install-folder, C:\\Program Files\\Veltmora (25 units and a separator).
      {"past the path rule of the default folder",
       {"d/" + std::string(232, 'x')},
       {},
       "item 0 d/" + std::string(232, 'x') + ": path too long: 260 units with the install folder"},
      {"past the path rule of a named folder",
       {deep},
       {W("--install-folder"), W("C:\\" + std::string(57, 'f'))},
       "item 0 " + deep + ": path too long: 263 units with the install folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    fs::remove_all(scratch_ / "old");
    fs::remove_all(scratch_ / "new");
    fs::create_directories(scratch_ / "old");
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& f : c.files) files.emplace_back(f, "x");
    MakeTree(scratch_ / "new", files);
    const Outcome r = Pack("refused.zip", c.options);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("pkgtool: pack: refused: " + c.refusal), std::string::npos) << r.err;
    ExpectNothingWritten("refused.zip");
  }
}

// A package whose install would fail, or not give the new version, never gets its name.
TEST_F(PackTest, ATrialInstallThatFailsLeavesNoPackage) {
  MakeTree(scratch_ / "old", {{"lib/x.dll", "old"}});
  MakeTree(scratch_ / "new", {{"lib", "now a file"}});
  const Outcome r = Pack("update.zip", {W("--allow-leftovers")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("a folder of the old version has its name"), std::string::npos) << r.err;
  ExpectNothingWritten("update.zip");
}

TEST_F(PackTest, SignsAsSignDoes) {
  const fs::path keys = TestKeyFolder();
  if (ReadBytes(keys / "product.pem") == "<missing>") GTEST_SKIP() << "no keys: run through ctest";
  MakeTree(scratch_ / "old", {{"a.txt", "old"}});
  MakeTree(scratch_ / "new", {{"a.txt", "new"}});
  Outcome r = Pack("signed.zip", {W("--key"), W(keys / "product.pem"), W("--sequence"), W("7")});
  ASSERT_EQ(r.code, 0) << r.err;
  r = Run({W("verify"), W("--key"), W(keys / "product.pub.pem"), W(scratch_ / "signed.zip")});
  EXPECT_EQ(r.code, 0) << r.err;
  // The number given to pack is the one signed.
  EXPECT_NE(r.out.find("(product Veltmora, sequence 7)"), std::string::npos) << r.out;
}

// The bytes of a file written in pieces at given offsets, the gaps left as holes: a package
// of a hundred megabytes that costs a few kilobytes of disk.
struct Sparse {
  std::vector<std::pair<std::uint64_t, std::string>> pieces;
  std::uint64_t size() const { return pieces.back().first + pieces.back().second.size(); }
  bool Write(const fs::path& path) const {
    platform::File f = platform::File::Create(W(path), 0);
    if (!f) return false;
    for (const auto& [at, bytes] : pieces) {
      if (!f.WriteAt(at, bytes.data(), bytes.size())) return false;
    }
    return f.Close();
  }
  // SHA-256 of the whole file: what a signature covers in an archive written without a
  // comment.
  platform::Sha256Digest SignedDigest() const {
    platform::Sha256 hash;
    const std::string zeros(1 << 20, '\0');
    std::uint64_t at = 0;
    const std::uint64_t end = size();
    for (const auto& [offset, bytes] : pieces) {
      for (; at < offset; at += std::min<std::uint64_t>(zeros.size(), offset - at)) {
        hash.Update(zeros.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), offset - at)));
      }
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), end - at));
      hash.Update(bytes.data(), n);
      at += n;
    }
    platform::Sha256Digest digest{};
    EXPECT_TRUE(hash.Finish(digest));
    return digest;
  }
};

// An archive whose central directory starts at `offset`, its one item at the start of the
// file and zeros between.
Sparse DirectoryAt(std::uint32_t offset, const Archive& a) {
  const std::string whole = Build(a);
  // The end record's last fields: the directory's size and offset, then the comment length.
  const auto field = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 4; i-- > 0;) v = v << 8 | static_cast<unsigned char>(whole[at + i]);
    return v;
  };
  const std::size_t bodySize = field(whole.size() - 6);
  std::string rest = whole.substr(bodySize);
  std::string moved;
  Put32(moved, offset);
  rest.replace(rest.size() - 6, 4, moved);
  return Sparse{{{0, whole.substr(0, bodySize)}, {offset, rest}}};
}

// Where the end record lies, pkgtool check and verify and the launcher's gate decide alike:
// the last signature whose record and comment fit the file. Bytes after the archive read,
// but no signature covers them.
TEST_F(PkgtoolTest, CheckVerifyAndTheLauncherAgreeOnTheEndRecord) {
  const fs::path keys = TestKeyFolder();
  if (ReadBytes(keys / "product.pem") == "<missing>") GTEST_SKIP() << "no keys: run through ctest";
  signing::PrivateKey key;
  ASSERT_EQ(signing::PrivateKeyFromPem(ReadBytes(keys / "product.pem"), key),
            signing::KeyFileResult::kOk);
  const std::string pem = ReadBytes(keys / "product.pub.pem");
  std::string body = pem.substr(pem.find('\n') + 1);
  body = body.substr(0, body.find("-----END"));
  body.erase(std::remove(body.begin(), body.end(), '\n'), body.end());
  std::vector<std::uint8_t> der;
  ASSERT_TRUE(signing::Base64Decode(body, der));
  // Signed as OpenSSL's recipe signs: the file's SHA-256, then the comment put behind it.
  auto sign = [&](Sparse s) {
    platform::P256Signature signature{};
    EXPECT_TRUE(platform::SignP256(key.scalar, key.publicKey.point, s.SignedDigest(), signature));
    const std::string comment = signing::SignatureComment(key.publicKey.id, signature);
    std::string& last = s.pieces.back().second;
    last.resize(last.size() - 2);
    Put16(last, static_cast<std::uint32_t>(comment.size()));
    last += comment;
    return s;
  };
  Archive a;
  a.entries = {Item("app.dll", "new app.dll")};
  Archive other = a;
  other.entries[0].localName = "evi.dll";
  const Sparse plain{{{0, Build(a)}}};
  struct Case {
    const char* why;
    Sparse package;
    int check, verify;  // exit codes
    bool installs;      // by a launcher with the product key
    const char* says;   // in what check or verify tells
  } const cases[] = {
      {"signed", sign(plain), 0, 0, true, "1 item, 11 bytes, all installable"},
      // the directory offset spells the end record's signature, in the end record's last bytes
      {"a directory at offset 0x06054B50", sign(DirectoryAt(0x06054B50, a)), 0, 0, true,
       "1 item, 11 bytes, all installable"},
      {"unsigned, a directory at offset 0x06054B50", DirectoryAt(0x06054B50, a), 0, 1, false,
       "not signed (the archive has no comment)"},
      // bytes no signature covers ride along: read, never installed
      {"signed, bytes after it",
       [&] {
         Sparse s = sign(plain);
         s.pieces.back().second += "junk";
         return s;
       }(),
       0, 1, false, "the archive's comment does not end where the file does"},
      // the data would be written under another name than the one installed
      {"signed, a local header naming another file", sign(Sparse{{{0, Build(other)}}}), 1, 0, false,
       "item 0 app.dll: the local header names another file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const fs::path path = scratch_ / "package.zip";
    ASSERT_TRUE(c.package.Write(path));
    const Outcome check = Run({W("check"), W(path)});
    EXPECT_EQ(check.code, c.check) << check.out << check.err;
    const Outcome verify = Run({W("verify"), W("--key"), W(keys / "product.pub.pem"), W(path)});
    EXPECT_EQ(verify.code, c.verify) << verify.out << verify.err;
    EXPECT_NE((check.out + check.err + verify.err).find(c.says), std::string::npos)
        << check.out << check.err << verify.err;
    const fs::path folder = scratch_ / "install";
    fs::remove_all(folder);
    fs::create_directories(folder);
    ASSERT_TRUE(c.package.Write(folder / "update.zip"));
    update::InstallIn(W(folder) + platform::kPreferredSeparator,
                      signing::ProductKeyBytes{der.data(), der.size(), "Veltmora"});
    EXPECT_EQ(ReadBytes(folder / "app.dll"), c.installs ? "new app.dll" : "<missing>");
    EXPECT_FALSE(fs::exists(folder / "update.zip"));  // installed or refused: gone
  }
}

}  // namespace
