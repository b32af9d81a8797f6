// Feeds arbitrary bytes to the configuration reader as the file's content, and checks what
// it promises: outputs untouched on failure, every value whole and within the buffer.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/product_config.h"

namespace {

constexpr std::size_t kMaxInput = 64 * 1024;

bool ValueOk(const platform::WString& value) { return value.size() < kConfigTextUnits; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;
  static const std::string name = "productconfig-fuzz-" + std::to_string(getpid()) + ".xml";
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, file) == size;
  std::fclose(file);
  if (!written) return 0;

  const platform::WString path(name.begin(), name.end());
  ShortcutNames names;
  std::vector<platform::WString> args;
  const bool read = ReadProductConfig(path.c_str(), names, args);
  if (!read &&
      (!names.shortcut_cn.empty() || !names.shortcut_en.empty() || !names.shortcut_new_cn.empty() ||
       !names.shortcut_new_en.empty() || !args.empty())) {
    __builtin_trap();  // a failed read touched the outputs
  }
  for (const platform::WString* value :
       {&names.shortcut_cn, &names.shortcut_en, &names.shortcut_new_cn, &names.shortcut_new_en}) {
    if (!ValueOk(*value)) __builtin_trap();
  }
  for (const platform::WString& arg : args) {
    if (arg.empty() || !ValueOk(arg)) __builtin_trap();
  }
  return 0;
}
