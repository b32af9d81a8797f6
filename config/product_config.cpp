#include "config/product_config.h"

bool ReadProductConfig(const platform::WChar* /*path*/, ShortcutNames& /*names*/,
                       std::vector<platform::WString>& /*args*/) {
  return false;
}
