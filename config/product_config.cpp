#include "config/product_config.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/file_system.h"

namespace {

// Element names are ASCII in every file we ship; folding only ASCII letters keeps a
// non-ASCII name from ever matching by accident.
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The field an element fills, or null when its name is none of the shortcut names.
platform::WString* ShortcutField(ShortcutNames& names, const char* elementName) {
  if (elementName == nullptr) return nullptr;
  const std::pair<const char*, platform::WString*> fields[] = {
      {"shortcut_cn", &names.shortcut_cn},
      {"shortcut_en", &names.shortcut_en},
      {"shortcut_new_cn", &names.shortcut_new_cn},
      {"shortcut_new_en", &names.shortcut_new_en},
  };
  for (const auto& [name, field] : fields) {
    if (EqualsIgnoringAsciiCase(elementName, name)) return field;
  }
  return nullptr;
}

// Loads and parses the whole file. False on any load or parse error, a folder, a file too
// large to be a configuration, or memory running out (which must not end the launch).
bool LoadDocument(const platform::WString& path, tinyxml2::XMLDocument& document) {
  if (platform::IsFolder(path)) return false;
  platform::File file = platform::File::OpenForRead(path);
  std::uint64_t size = 0;
  if (!file || !file.Size(size) || size > static_cast<std::uint64_t>(kMaxConfigFileBytes)) {
    return false;
  }
  try {
    std::string text(static_cast<std::size_t>(size), '\0');
    if (file.ReadAt(0, text.data(), text.size()) != static_cast<std::int64_t>(size)) return false;
    return document.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// An element's text is its first child when that child is text or CDATA. The library's
// GetText passes over leading comments; a value commented in front is meant to be switched
// off, so it is read from the first child directly.
const char* FirstChildText(const tinyxml2::XMLElement& element) {
  const tinyxml2::XMLNode* first = element.FirstChild();
  const tinyxml2::XMLText* text = first != nullptr ? first->ToText() : nullptr;
  return text != nullptr ? text->Value() : nullptr;
}

}  // namespace

bool Utf8ToWide(const char* utf8, platform::WChar (&out)[kConfigTextUnits]) {
  if (utf8 == nullptr) return false;
  out[0] = 0;
  platform::WString wide;
  if (!platform::Utf8ToUtf16(utf8, wide) || wide.size() >= kConfigTextUnits) return false;
  std::copy(wide.begin(), wide.end(), out);
  out[wide.size()] = 0;
  return !wide.empty();
}

bool WideToCp936(const platform::WChar* wide, char (&out)[kConfigTextUnits]) {
  if (wide == nullptr) return false;
  std::memset(out, 0, sizeof out);
  std::string narrow;
  if (!platform::WideToNarrow(wide, platform::CodePage::kChinese, narrow) ||
      narrow.size() >= kConfigTextUnits) {
    return false;
  }
  std::memcpy(out, narrow.data(), narrow.size());
  return !narrow.empty();
}

bool ReadProductConfig(const platform::WChar* path, ShortcutNames& names,
                       std::vector<platform::WString>& args) {
  if (path == nullptr || !platform::Exists(path)) return false;

  // The file is opened by its wide name; the code page 936 form is still required so that a
  // path the installer could not have written in that code page is refused the same way.
  char narrowPath[kConfigTextUnits];
  if (!WideToCp936(path, narrowPath)) return false;

  tinyxml2::XMLDocument document;
  if (!LoadDocument(platform::WString(path), document)) return false;
  const tinyxml2::XMLElement* root = document.FirstChildElement();
  if (root == nullptr) return false;

  platform::WChar value[kConfigTextUnits];
  if (const tinyxml2::XMLElement* list = root->FirstChildElement("Args")) {
    for (const tinyxml2::XMLElement* item = list->FirstChildElement("Item"); item != nullptr;
         item = item->NextSiblingElement("Item")) {
      const tinyxml2::XMLAttribute* name = item->FindAttribute("Name");
      if (name != nullptr && Utf8ToWide(name->Value(), value)) args.emplace_back(value);
    }
  }

  for (const tinyxml2::XMLElement* element = root->FirstChildElement(); element != nullptr;
       element = element->NextSiblingElement()) {
    if (!Utf8ToWide(FirstChildText(*element), value)) continue;
    if (platform::WString* field = ShortcutField(names, element->Name())) *field = value;
  }
  return true;
}
