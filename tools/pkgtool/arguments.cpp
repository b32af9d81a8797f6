#include "tools/pkgtool/pkgtool.h"

#include <optional>
#include <string>

#include "tools/pkgtool/commands.h"
#include "zip/item_path.h"

namespace pkgtool {
namespace {

using platform::WString;

const char kUsage[] =
    "usage: pkgtool list [--json] ARCHIVE\n"
    "       pkgtool check [--json] [--install-folder DIR] ARCHIVE\n"
    "       pkgtool extract [--key PUBLIC.pem [--product NAME]] ARCHIVE DEST\n"
    "       pkgtool recover DEST\n"
    "       pkgtool sign --key PRIVATE.pem --sequence N [--product NAME] [--passphrase-env NAME]\n"
    "                    ARCHIVE\n"
    "       pkgtool verify --key PUBLIC.pem ARCHIVE\n"
    "       pkgtool --help | --version\n";

const char kHelp[] =
    "\n"
    "Reads update packages with the launcher's own zip code.\n"
    "\n"
    "  list     one line per item: index, attributes, size, modification time (UTC), name\n"
    "  check    reads every item through to its CRC-32 and says what the launcher does with\n"
    "           it: refused, reserved and too long names are skipped, a later item of the\n"
    "           same name (as Windows compares names) replaces an earlier one; problems and\n"
    "           warnings on standard error, a one-line summary on standard output\n"
    "  extract  installs the items into DEST exactly as the launcher's update step does,\n"
    "           finishing or undoing an interrupted install there first; with --key, only\n"
    "           when the signature is valid and the package is no older than DEST's release,\n"
    "           as a launcher built with that key checks it, and records its release there\n"
    "  recover  finishes or undoes an interrupted install in DEST, as the next launch would\n"
    "  sign     signs the archive with the product's ECDSA P-256 key (a PEM file, PKCS #8 or\n"
    "           SEC 1, as openssl writes it; on Windows unencrypted only, see\n"
    "           docs/update-packages.md): the signature goes into the archive's comment,\n"
    "           replacing any comment or signature there; the archive is rewritten under a\n"
    "           temporary name and renamed over the old one\n"
    "  --sequence N\n"
    "           the release's number, signed with the archive: 1 and up, one counter per\n"
    "           product, larger for every release; a launcher refuses packages older than\n"
    "           the one it installed\n"
    "  --product NAME\n"
    "           the product the package is for (default: " PKGTOOL_PRODUCT
    ")\n"
    "  verify   checks the archive's signature against the product's public key (PEM)\n"
    "  --json   list or check as one JSON object: the signature and one object per item\n"
    "  --passphrase-env NAME\n"
    "           sign with an encrypted key whose passphrase is in the environment variable\n"
    "           NAME (never on the command line, where other users can read it)\n"
    "  --install-folder DIR\n"
    "           check full paths against the install folder DIR: every item's path, the\n"
    "           folder's included, must stay within 259 units (without it, a folder of three\n"
    "           units such as C:\\ is assumed, so only names too long for any folder show)\n"
    "\n"
    "list and check say whether the archive carries a signature, and for which product and\n"
    "release; verify checks it.\n"
    "\n"
    "Exit codes: 0 every item is fine (check), was installed (extract), nothing was left to\n"
    "end (recover), the archive was signed (sign) or its signature is valid (verify); 1 an\n"
    "item has a problem or failed, an interrupted install could not be ended yet, the archive\n"
    "is unsigned or its signature invalid (verify), the package was refused (extract --key),\n"
    "or it cannot be signed as it is (sign);\n"
    "2 a usage error, a key file that does not read, or an archive that does not open.\n";

int UsageError(std::FILE* err, const char* what) {
  if (what) std::fprintf(err, "pkgtool: %s\n", what);
  std::fputs(kUsage, err);
  return 2;
}

}  // namespace

int Run(const std::vector<WString>& args, std::FILE* out, std::FILE* err) {
  bool json = false;
  std::optional<WString> installFolder;
  std::optional<WString> keyFile;
  std::optional<WString> sequence;
  std::optional<WString> product;
  std::optional<WString> passphraseEnv;
  std::vector<WString> operands;
  bool optionsEnd = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const WString& arg = args[i];
    if (optionsEnd || arg.empty() || arg[0] != WIDE('-') || arg == WIDE("-")) {
      operands.push_back(arg);
    } else if (arg == WIDE("--install-folder")) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        return UsageError(err, "--install-folder needs a folder");
      }
      installFolder = args[++i];
    } else if (arg == WIDE("--")) {
      optionsEnd = true;
    } else if (arg == WIDE("--help") || arg == WIDE("-h")) {
      std::fputs(kUsage, out);
      std::fputs(kHelp, out);
      return 0;
    } else if (arg == WIDE("--version")) {
      std::fputs("pkgtool " LAUNCHER_VERSION "\n", out);
      return 0;
    } else if (arg == WIDE("--json")) {
      json = true;
    } else if (arg == WIDE("--key")) {
      if (i + 1 == args.size()) return UsageError(err, "--key needs a file");
      keyFile = args[++i];
    } else if (arg.rfind(WIDE("--key="), 0) == 0) {
      keyFile = arg.substr(6);
    } else if (arg == WIDE("--sequence")) {
      if (i + 1 == args.size()) return UsageError(err, "--sequence needs a number");
      sequence = args[++i];
    } else if (arg == WIDE("--product")) {
      if (i + 1 == args.size()) return UsageError(err, "--product needs a name");
      product = args[++i];
    } else if (arg == WIDE("--passphrase-env")) {
      if (i + 1 == args.size()) return UsageError(err, "--passphrase-env needs a variable name");
      passphraseEnv = args[++i];
    } else {
      return UsageError(err, ("unknown option " + Narrow(arg)).c_str());
    }
  }
  if (operands.empty()) return UsageError(err, nullptr);
  const WString& command = operands[0];
  const bool report = command == WIDE("list") || command == WIDE("check");
  const bool signing = command == WIDE("sign") || command == WIDE("verify");
  if (!report && !signing && command != WIDE("extract") && command != WIDE("recover")) {
    return UsageError(err, ("unknown command " + Narrow(command)).c_str());
  }
  const bool extract = command == WIDE("extract");
  if (signing && !keyFile) return UsageError(err, "--key is needed");
  if (keyFile && !signing && !extract) {
    return UsageError(err, "--key is for sign, verify and extract only");
  }
  if (keyFile && keyFile->empty()) return UsageError(err, "the key file must not be empty");
  if (passphraseEnv && (command != WIDE("sign") || passphraseEnv->empty())) {
    return UsageError(err, passphraseEnv->empty() ? "--passphrase-env needs a variable name"
                                                  : "--passphrase-env is for sign only");
  }
  if (sequence.has_value() != (command == WIDE("sign"))) {
    return UsageError(err, sequence ? "--sequence goes with sign only"
                                    : "--sequence is needed: the release's number (1 and up)");
  }
  if (product && command != WIDE("sign") && !(extract && keyFile)) {
    return UsageError(err, "--product goes with sign and extract --key only");
  }
  // Names and numbers in the one form a signature carries: a pipeline that passes another
  // learns it now, not from a launcher that refuses the package.
  signing::PackageRelease release;
  release.product = product ? Narrow(*product) : std::string(PKGTOOL_PRODUCT);
  if (!signing::IsProductName(release.product)) {
    return UsageError(err, "--product: 1 to 64 characters of A-Z a-z 0-9 . _ -");
  }
  if (sequence && !signing::ParseSequence(Narrow(*sequence), release.sequence)) {
    return UsageError(err,
                      "--sequence: a decimal number from 1 to 18446744073709551615, "
                      "without leading zeros");
  }
  if (installFolder && command != WIDE("check")) {
    return UsageError(err, "--install-folder goes with check only");
  }
  if (report && operands.size() == 2) {
    // The folder with the separator the install adds; a drive root such as C:\ without one.
    std::size_t rootUnits = 3;
    if (installFolder) {
      rootUnits = installFolder->size() + (zip::IsSeparator(installFolder->back()) ? 0 : 1);
    }
    return Report(operands[1], command == WIDE("check"), json, rootUnits, out, err);
  }
  if (extract && operands.size() == 3 && !json) {
    if (operands[2].empty()) return UsageError(err, "DEST must not be empty");
    if (keyFile) {
      return InstallChecked(*keyFile, release.product, operands[1], operands[2], out, err);
    }
    return InstallPackage(operands[1], operands[2], out, err);
  }
  if (command == WIDE("recover") && operands.size() == 2 && !json) {
    if (operands[1].empty()) return UsageError(err, "DEST must not be empty");
    return Recover(operands[1], out, err);
  }
  if (signing && operands.size() == 2 && !json) {
    return command == WIDE("sign") ? Sign(*keyFile, passphraseEnv ? &*passphraseEnv : nullptr,
                                          release, operands[1], out, err)
                                   : Verify(*keyFile, operands[1], out, err);
  }
  return UsageError(err, nullptr);
}

}  // namespace pkgtool
