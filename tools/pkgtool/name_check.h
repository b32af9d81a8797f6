// What the launcher's install does with items for their names, as pkgtool tells it: check
// reports it for a package, pack refuses a release folder's names with it before it writes
// anything. The install's plan decides with the same DecideName and ItemNames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "update/item_names.h"
#include "zip/zip_extractor.h"

namespace pkgtool {

class NameCheck {
 public:
  // For an install folder whose path, with its separator, is `rootUnits` long, and a package
  // of about `items` items.
  NameCheck(std::size_t rootUnits, std::size_t items) : rootUnits_(rootUnits), names_(items, 0) {}

  // Takes the next item (looked up with result `lookup`): what stops or skips it goes to
  // `problems`; a later item of the name of an earlier one, which replaces it, to `warnings`.
  // A name the rules refuse adds nothing: that is the item's own problem (the lookup's).
  void Add(const zip::ZipItem& item, std::uint32_t lookup, std::vector<std::string>& problems,
           std::vector<std::string>& warnings);

 private:
  std::size_t rootUnits_;
  update::ItemNames names_;
};

}  // namespace pkgtool
