#include "tools/pkgtool/name_check.h"

#include "update/install_plan.h"
#include "zip/item_path.h"

namespace pkgtool {

void NameCheck::Add(const zip::ZipItem& item, std::uint32_t lookup,
                    std::vector<std::string>& problems, std::vector<std::string>& warnings) {
  platform::WString relative;
  switch (update::DecideName(item, lookup, rootUnits_, platform::WString(), relative)) {
    case update::NameDecision::kUnsafe:
      return;  // reported as the item's own problem
    case update::NameDecision::kReserved:
      problems.push_back("name kept for the install's own files; skipped");
      return;
    case update::NameDecision::kTooLong:
      problems.push_back("path too long: " + std::to_string(rootUnits_ + relative.size()) +
                         " units with the install folder, at most " +
                         std::to_string(zip::kMaxPathUnits) + "; skipped");
      return;
    case update::NameDecision::kInstall:
      break;
  }
  if (relative.empty()) return;
  names_.Take(relative);
  const bool folder = (item.attributes & platform::kAttrFolder) != 0;
  // Every folder on the way is a folder of the package's too.
  for (std::size_t i = 0; i < names_.steps(); ++i) {
    const bool isFolder = folder || i + 1 < names_.steps();
    std::uint32_t earlier = 0;
    switch (names_.Meet(i, isFolder, earlier)) {
      case update::ItemNames::Meeting::kNew:
        names_.Add(i, isFolder, static_cast<std::uint32_t>(item.index));
        break;
      case update::ItemNames::Meeting::kSameFolder:
        break;
      case update::ItemNames::Meeting::kSameFile:
        warnings.push_back("replaces item " + std::to_string(earlier) +
                           " (the same name as Windows compares names)");
        break;
      case update::ItemNames::Meeting::kFileAndFolder:
        problems.push_back("a " + std::string(isFolder ? "file" : "folder") + " of item " +
                           std::to_string(earlier) + " has the same name");
        break;
    }
  }
}

}  // namespace pkgtool
