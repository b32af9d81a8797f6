// pkgtool's commands, one file per job (reports.cpp: list and check; install.cpp: extract
// and recover; signing.cpp: sign and verify; pack.cpp: pack), with what their reports share. Each
// command writes results to `out` and problems to `err`, and returns the exit code pkgtool.h
// states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

#include "platform/text.h"
#include "signing/package_signature.h"
#include "zip/zip_extractor.h"

namespace pkgtool {

// UTF-8, as every report writes text.
std::string Narrow(const platform::WString& text);

// Collects an outcome line as UTF-8, the way the launcher's log writes it in its code page.
struct Utf8Line {
  std::string text;
  Utf8Line& operator<<(const char* s) {
    text += s;
    return *this;
  }
  template <typename Number, typename = std::enable_if_t<std::is_integral_v<Number>>>
  Utf8Line& operator<<(Number n) {
    text += std::to_string(n);
    return *this;
  }
  Utf8Line& operator<<(const platform::WString& s) {
    text += Narrow(s);
    return *this;
  }
};

// The name as the launcher sees it, or the stored bytes when the name was refused, so a
// report always says which item it means.
std::string DisplayName(const zip::ZipItem& item);

// Why the archive at `path` does not open, in the words of the people who build packages.
void ReportOpenFailure(const platform::WString& path, std::FILE* err);

// What the archive carries for a signature, unchecked: list and check tell it, verify checks
// it.
signing::CarriedSignature CarriedSignatureOf(const platform::WString& path);

// list (`readData` false) and check (true): every item's record, and for check its data
// through to the CRC-32 and what the launcher would do with its name in an install folder of
// `rootUnits`; then what the archive carries for a signature.
int Report(const platform::WString& path, bool readData, bool json, std::size_t rootUnits,
           std::FILE* out, std::FILE* err);

// extract: installs the package through the launcher's own install transaction.
int InstallPackage(const platform::WString& path, const platform::WString& dest, std::FILE* out,
                   std::FILE* err);
// extract --key: the same behind the launcher's gate, with the public key in `keyFile` for
// `product`: the signature, and the release against DEST's record, which the install updates.
int InstallChecked(const platform::WString& keyFile, const std::string& product,
                   const platform::WString& path, const platform::WString& dest, std::FILE* out,
                   std::FILE* err);

// recover: finishes or undoes an interrupted install in `dest` as the next launch would.
int Recover(const platform::WString& dest, std::FILE* out, std::FILE* err);

// pack: the package of what `to` has that `from` lacks or holds otherwise (every file of
// `to` with `full`), written to `output` only once the launcher's own install of it over a
// copy of `from` gives `to`; signed with `keyFile` when one is given. Names the launcher would
// not install, checked for an install folder of `rootUnits` (its path and separator), stop it
// before anything is written, and so do files and folders of `from` that `to` lacks unless
// `allowLeftovers`.
struct PackOptions {
  platform::WString from;
  platform::WString to;
  platform::WString output;
  bool full = false;
  bool allowLeftovers = false;
  std::size_t rootUnits = 0;
  platform::WString keyFile;        // empty: not signed
  platform::WString passphraseEnv;  // with keyFile: as sign takes it (empty: none)
  signing::PackageRelease release;  // with keyFile: the product and sequence it is signed as
};
int Pack(const PackOptions& options, std::FILE* out, std::FILE* err);

// sign (for `release`) and verify, with the key file `keyFile` (PEM); sign takes the
// passphrase of an encrypted key from the environment variable `passphraseEnv` (null: none).
int Sign(const platform::WString& keyFile, const platform::WString* passphraseEnv,
         const signing::PackageRelease& release, const platform::WString& path, std::FILE* out,
         std::FILE* err);
int Verify(const platform::WString& keyFile, const platform::WString& path, std::FILE* out,
           std::FILE* err);
// Reads the public key in `keyFile`: 0, or the exit code after saying why on `err`.
int ReadPublicKey(const platform::WString& keyFile, signing::PublicKey& key, std::FILE* err);
// "product P, sequence N" of a numbered release, "unnumbered" of another.
std::string DescribeRelease(const signing::PackageRelease& release);

}  // namespace pkgtool
