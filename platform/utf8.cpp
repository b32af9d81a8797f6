#include "platform/text.h"

namespace platform {
namespace {

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void AppendUtf16(char32_t c, WString& out) {
  if (c < 0x10000) {
    out += static_cast<WChar>(c);
    return;
  }
  c -= 0x10000;
  out += static_cast<WChar>(0xD800 + (c >> 10));
  out += static_cast<WChar>(0xDC00 + (c & 0x3FF));
}

}  // namespace

bool Utf16ToUtf8(WStringView in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    char32_t c = static_cast<char16_t>(in[i]);
    if (c >= 0xDC00 && c <= 0xDFFF) {
      out.clear();
      return false;
    }
    if (c >= 0xD800 && c <= 0xDBFF) {
      const char32_t low = i + 1 < in.size() ? static_cast<char16_t>(in[i + 1]) : 0;
      if (low < 0xDC00 || low > 0xDFFF) {
        out.clear();
        return false;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    }
    AppendUtf8(c, out);
  }
  return true;
}

bool Utf8ToUtf16(std::string_view in, WString& out) {
  out.clear();
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    const auto lead = static_cast<unsigned char>(in[i]);
    int extra;
    char32_t c;
    char32_t min;
    if (lead < 0x80) {
      extra = 0, c = lead, min = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, min = 0x10000;
    } else {
      out.clear();
      return false;
    }
    if (in.size() - i <= static_cast<std::size_t>(extra) && extra > 0) {
      out.clear();
      return false;
    }
    for (int k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(in[i + k]);
      if ((cont & 0xC0) != 0x80) {
        out.clear();
        return false;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.clear();
      return false;
    }
    AppendUtf16(c, out);
    i += 1 + extra;
  }
  return true;
}

}  // namespace platform
