#include "tools/pkgtool/pkgtool.h"

#include <cstdint>
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
    "       pkgtool pack --from OLD --to NEW -o PACKAGE [--full] [--allow-leftovers]\n"
    "                    [--install-folder DIR|UNITS] [--key PRIVATE.pem --sequence N\n"
    "                    [--product NAME] [--passphrase-env NAME]]\n"
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
    "  pack     writes the update package from two release folders: the files of NEW that\n"
    "           OLD lacks or holds with other bytes or attributes (every file with --full),\n"
    "           and NEW's empty folders, deflated where that makes them smaller, in the order\n"
    "           of their names, with NEW's attributes and times; the same folders give the\n"
    "           same bytes. Names the launcher would not install whole refuse the pack before\n"
    "           anything is written, and so do files and folders of OLD that NEW lacks (an\n"
    "           install leaves them) unless --allow-leftovers. The package is installed over\n"
    "           a copy of OLD with the launcher's own install and must give NEW (names,\n"
    "           bytes, attributes) before it gets its name. --key and --sequence sign it as\n"
    "           sign does\n"
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
    "           sign (or pack) with an encrypted key whose passphrase is in the environment\n"
    "           variable NAME (never on the command line, where other users can read it)\n"
    "  --install-folder DIR|UNITS\n"
    "           check full paths against the install folder DIR, or one whose path is UNITS\n"
    "           long: every item's path, the folder's included, must stay within 259 units\n"
    "           (without it, check assumes a folder of three units such as C:\\, so only\n"
    "           names too long for any folder show, and pack C:\\Program Files\\Veltmora)\n"
    "\n"
    "list and check say whether the archive carries a signature, and for which product and\n"
    "release; verify checks it.\n"
    "\n"
    "Exit codes: 0 every item is fine (check), was installed (extract), nothing was left to\n"
    "end (recover), the archive was signed (sign) or its signature is valid (verify), the\n"
    "package was written (pack); 1 an item has a problem or failed, an interrupted install\n"
    "could not be ended yet, the archive is unsigned or its signature invalid (verify), the\n"
    "package was refused (extract --key), or it cannot be signed as it is (sign), a name was\n"
    "refused, a leftover found or the trial install failed (pack); 2 a usage error, a key\n"
    "file that does not read, an archive that does not open, or a folder that cannot be read\n"
    "(pack).\n";

int UsageError(std::FILE* err, const char* what) {
  if (what) std::fprintf(err, "pkgtool: %s\n", what);
  std::fputs(kUsage, err);
  return 2;
}

// A whole number of digits alone, at most `limit`; empty otherwise.
std::optional<std::uint64_t> Number(const WString& text, std::uint64_t limit) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t n = 0;
  for (platform::WChar c : text) {
    if (c < WIDE('0') || c > WIDE('9')) return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - WIDE('0'));
  }
  if (n > limit) return std::nullopt;
  return n;
}

// The install folder a pack checks names for when none is given: where the client installs
// by default.
const platform::WChar kDefaultInstallFolder[] = WIDE("C:\\Program Files\\Veltmora");

}  // namespace

int Run(const std::vector<WString>& args, std::FILE* out, std::FILE* err) {
  bool json = false;
  std::optional<WString> installFolder;
  std::optional<WString> keyFile;
  std::optional<WString> sequence;
  std::optional<WString> product;
  std::optional<WString> passphraseEnv;
  std::optional<WString> from, to, output;
  bool full = false;
  bool allowLeftovers = false;
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
    } else if (arg == WIDE("--from") || arg == WIDE("--to") || arg == WIDE("-o") ||
               arg == WIDE("--sequence")) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        return UsageError(err, (Narrow(arg) + " needs a value").c_str());
      }
      std::optional<WString>& value = arg == WIDE("--from") ? from
                                      : arg == WIDE("--to") ? to
                                      : arg == WIDE("-o")   ? output
                                                            : sequence;
      value = args[++i];
    } else if (arg == WIDE("--full")) {
      full = true;
    } else if (arg == WIDE("--allow-leftovers")) {
      allowLeftovers = true;
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
  const bool pack = command == WIDE("pack");
  if (!report && !signing && !pack && command != WIDE("extract") && command != WIDE("recover")) {
    return UsageError(err, ("unknown command " + Narrow(command)).c_str());
  }
  const bool extract = command == WIDE("extract");
  if (signing && !keyFile) return UsageError(err, "--key is needed");
  if (keyFile && !signing && !extract && !pack) {
    return UsageError(err, "--key is for sign, verify, pack and extract only");
  }
  if (keyFile && keyFile->empty()) return UsageError(err, "the key file must not be empty");
  if (passphraseEnv && ((command != WIDE("sign") && !pack) || passphraseEnv->empty())) {
    return UsageError(err, passphraseEnv->empty() ? "--passphrase-env needs a variable name"
                                                  : "--passphrase-env is for sign and pack only");
  }
  if (sequence && command != WIDE("sign") && !pack) {
    return UsageError(err, "--sequence goes with sign and pack only");
  }
  if (!sequence && command == WIDE("sign")) {
    return UsageError(err, "--sequence is needed: the release's number (1 and up)");
  }
  if (product && command != WIDE("sign") && !pack && !(extract && keyFile)) {
    return UsageError(err, "--product goes with sign, pack and extract --key only");
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
  if (installFolder && command != WIDE("check") && !pack) {
    return UsageError(err, "--install-folder goes with check and pack only");
  }
  if (!pack && (from || to || output || full || allowLeftovers)) {
    return UsageError(err, "--from, --to, -o, --full and --allow-leftovers go with pack only");
  }
  // The folder with the separator the install adds; a drive root such as C:\ without one. A
  // number is the folder's length without the separator.
  std::size_t rootUnits =
      pack ? std::char_traits<platform::WChar>::length(kDefaultInstallFolder) + 1 : 3;
  if (installFolder) {
    if (const std::optional<std::uint64_t> units = Number(*installFolder, zip::kMaxPathUnits)) {
      rootUnits = static_cast<std::size_t>(*units) + 1;
    } else {
      rootUnits = installFolder->size() + (zip::IsSeparator(installFolder->back()) ? 0 : 1);
    }
  }
  if (report && operands.size() == 2) {
    return Report(operands[1], command == WIDE("check"), json, rootUnits, out, err);
  }
  if (pack) {
    if (!from || !to || !output) return UsageError(err, "pack needs --from, --to and -o");
    if (operands.size() != 1 || json) return UsageError(err, nullptr);
    if (keyFile.has_value() != sequence.has_value()) {
      return UsageError(err, "--key and --sequence go together");
    }
    PackOptions options;
    if (sequence) {
      options.release = release;
      options.keyFile = *keyFile;
      if (passphraseEnv) options.passphraseEnv = *passphraseEnv;
    }
    options.from = *from;
    options.to = *to;
    options.output = *output;
    options.full = full;
    options.allowLeftovers = allowLeftovers;
    options.rootUnits = rootUnits;
    return Pack(options, out, err);
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
