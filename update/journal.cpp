#include "update/journal.h"

#include <cstdio>

#include "zip/item_path.h"

namespace update {
namespace {

using platform::WString;

constexpr char kHeader[] = "update journal\t1\t";
constexpr std::size_t kIdDigits = 8;
// Longer than any record of names that fit the 260-unit path buffer (three names of up to
// 259 units, 3 UTF-8 bytes each): a longer line is damage, not a record.
constexpr std::size_t kMaxLine = 4096;
constexpr std::size_t kReadChunk = 65536;

bool IsValidName(const WString& name) {
  return !name.empty() && name.size() <= zip::kMaxPathUnits &&
         zip::CheckRelativePath(name) == zip::NameVerdict::kOk;
}

bool ToWide(const std::string& text, std::size_t from, std::size_t to, WString& out) {
  return platform::Utf8ToUtf16(std::string_view(text).substr(from, to - from), out);
}

}  // namespace

WString IdText(std::uint32_t id) {
  char digits[kIdDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(id));
  WString out;
  for (std::size_t i = 0; i < kIdDigits; ++i) out += static_cast<platform::WChar>(digits[i]);
  return out;
}

WString StagedName(const WString& target, const WString& idText) {
  return target + WIDE(".new~") + idText;
}

WString AsideName(const WString& target, const WString& idText) {
  return target + WIDE(".old~") + idText;
}

bool JournalWriter::Create(const WString& path, std::uint32_t id, bool* existed) {
  file_ = platform::File::CreateNew(path, 0, existed);
  if (!file_ || !file_.LockExclusive()) return false;
  window_.Begin(file_, 0);
  idText_ = IdText(id);
  platform::Utf16ToUtf8(idText_, idUtf8_);
  line_ = kHeader;
  line_ += idUtf8_;
  return Append();
}

bool JournalWriter::Append() {
  return window_.Append(line_.data(), line_.size()) && window_.Append("\n", 1);
}

bool JournalWriter::AddFolder(const WString& folder) {
  if (!platform::Utf16ToUtf8(folder, utf8_)) return false;
  line_ = "folder\t";
  line_ += utf8_;
  return Append();
}

bool JournalWriter::AddFile(bool replaces, const WString& target) {
  if (!platform::Utf16ToUtf8(target, utf8_)) return false;
  line_ = replaces ? "replace\t" : "add\t";
  line_ += utf8_;
  line_ += '\t';
  line_ += utf8_;
  line_ += ".new~";
  line_ += idUtf8_;
  if (replaces) {
    line_ += '\t';
    line_ += utf8_;
    line_ += ".old~";
    line_ += idUtf8_;
  }
  return Append();
}

bool JournalWriter::AddNewFile(const WString& target) {
  if (!platform::Utf16ToUtf8(target, utf8_)) return false;
  line_ = "new\t";
  line_ += utf8_;
  return Append();
}

bool JournalWriter::SetPhase(JournalPhase phase) {
  line_ = phase == JournalPhase::kCommitted ? "phase\tcommitted" : "phase\tcommit";
  return Append() && window_.Flush();
}

bool JournalReader::NextLine(std::string& line) {
  line.clear();
  for (;;) {
    const std::size_t end = buffer_.find('\n', used_);
    if (end != std::string::npos) {
      line.append(buffer_, used_, end - used_);
      used_ = end + 1;
      return line.size() <= kMaxLine;
    }
    line.append(buffer_, used_, std::string::npos);
    used_ = 0;
    buffer_.resize(kReadChunk);
    const std::int64_t got = file_.ReadAt(offset_, buffer_.data(), buffer_.size());
    if (got <= 0 || line.size() > kMaxLine) {
      // The end of the file, or no line end within reach: a record cut short by a stop.
      buffer_.clear();
      return false;
    }
    buffer_.resize(static_cast<std::size_t>(got));
    offset_ += static_cast<std::uint64_t>(got);
  }
}

bool JournalReader::ReadHeader() {
  offset_ = 0;
  used_ = 0;
  buffer_.clear();
  madeFolders_.clear();
  ended_ = false;
  phase_ = JournalPhase::kStage;
  const std::size_t prefix = sizeof kHeader - 1;
  if (!NextLine(line_) || line_.size() != prefix + kIdDigits || line_.compare(0, prefix, kHeader)) {
    ended_ = true;
    return false;
  }
  for (std::size_t i = prefix; i < line_.size(); ++i) {
    const char c = line_[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      ended_ = true;
      return false;
    }
  }
  return ToWide(line_, prefix, line_.size(), idText_);
}

bool JournalReader::Parse(const std::string& line, JournalEntry& entry, bool& isEntry) {
  isEntry = false;
  if (line == "phase\tcommit") {
    // A phase never goes back: a stray earlier phase record after a later one is damage.
    if (phase_ == JournalPhase::kCommitted) return false;
    phase_ = JournalPhase::kCommit;
    return true;
  }
  if (line == "phase\tcommitted") {
    if (phase_ != JournalPhase::kCommit) return false;
    phase_ = JournalPhase::kCommitted;
    return true;
  }
  // Records of files and folders come before the commit only.
  if (phase_ != JournalPhase::kStage) return false;
  std::size_t fields[4];
  std::size_t count = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    if (count == 4) return false;
    fields[count++] = start;
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  auto field = [&](std::size_t i, WString& out) {
    const std::size_t from = fields[i];
    const std::size_t to = i + 1 < count ? fields[i + 1] - 1 : line.size();
    return ToWide(line, from, to, out);
  };
  WString kind;
  if (!field(0, kind)) return false;
  entry.staged.clear();
  entry.aside.clear();
  if (kind == WIDE("folder") && count == 2) {
    entry.kind = JournalEntry::kFolder;
    if (!field(1, entry.target) || !IsValidName(entry.target)) return false;
    madeFolders_.insert(entry.target);
  } else if (kind == WIDE("new") && count == 2) {
    entry.kind = JournalEntry::kNew;
    if (!field(1, entry.target) || !IsValidName(entry.target)) return false;
    const std::size_t cut = entry.target.find_last_of(platform::kPreferredSeparator);
    if (cut == WString::npos || madeFolders_.count(entry.target.substr(0, cut)) == 0) return false;
  } else if ((kind == WIDE("add") && count == 3) || (kind == WIDE("replace") && count == 4)) {
    entry.kind = count == 3 ? JournalEntry::kAdd : JournalEntry::kReplace;
    if (!field(1, entry.target) || !IsValidName(entry.target) || !field(2, entry.staged) ||
        entry.staged != StagedName(entry.target, idText_)) {
      return false;
    }
    if (count == 4 && (!field(3, entry.aside) || entry.aside != AsideName(entry.target, idText_))) {
      return false;
    }
  } else {
    return false;
  }
  isEntry = true;
  return true;
}

bool JournalReader::Next(JournalEntry& entry) {
  while (!ended_) {
    bool isEntry = false;
    if (!NextLine(line_) || !Parse(line_, entry, isEntry)) {
      ended_ = true;
      return false;
    }
    if (isEntry) return true;
  }
  return false;
}

}  // namespace update
