#include "update/journal.h"

#include <cstdio>

#include "platform/file_system.h"
#include "zip/item_path.h"

namespace update {
namespace {

using platform::WString;

constexpr char kHeader[] = "update journal\t";
constexpr std::size_t kIdDigits = 8;
constexpr int kFormat = 3;
// Longer than any record of names that fit the path rules (three names of up to 272 units,
// 3 UTF-8 bytes each): a longer line is damage, not a record.
constexpr std::size_t kMaxLine = 4096;
// Read and gathered in pieces of this size: a few dozen calls for a journal of twenty thousand
// records, and little memory for any number.
constexpr std::size_t kReadChunk = 16384;
// Records gathered before they are written in one piece; the buffer keeps room for one more
// record of the longest kind, so that it never grows.
constexpr std::size_t kWriteChunk = kReadChunk;
// The longest name of one step that a file system takes, in UTF-16 units.
constexpr std::size_t kMaxStepUnits = 255;

bool IsValidName(const WString& name) {
  return !name.empty() && name.size() <= zip::kMaxPathUnits &&
         zip::CheckRelativePath(name) == zip::NameVerdict::kOk;
}

bool ToWide(const std::string& text, std::size_t from, std::size_t to, WString& out) {
  return platform::Utf8ToUtf16(std::string_view(text).substr(from, to - from), out);
}

// The temporary name of `target` with `suffix` ("new" or "old"): the suffix form where the
// last step takes it, else a short name of the record's own beside the target.
WString TemporaryName(const WString& target, const WString& idText, std::uint32_t number,
                      const char* suffix, bool suffixOnly) {
  const std::size_t cut = target.find_last_of(platform::kPreferredSeparator);
  const std::size_t step = cut == WString::npos ? target.size() : target.size() - cut - 1;
  WString out;
  const std::size_t suffixUnits = 5 + kIdDigits;  // ".new~" and the id
  if (suffixOnly || step + suffixUnits <= kMaxStepUnits) {
    out = target;
    out += WIDE('.');
    for (const char* c = suffix; *c; ++c) out += static_cast<platform::WChar>(*c);
    out += WIDE('~');
    out += idText;
    return out;
  }
  out = cut == WString::npos ? WString() : target.substr(0, cut + 1);
  out += WIDE('~');
  out += idText;
  out += WIDE('-');
  char digits[16];
  std::snprintf(digits, sizeof digits, "%u.", static_cast<unsigned>(number));
  for (const char* c = digits; *c; ++c) out += static_cast<platform::WChar>(*c);
  for (const char* c = suffix; *c; ++c) out += static_cast<platform::WChar>(*c);
  return out;
}

bool EndsWith(const WString& text, const WString& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

WString IdText(std::uint32_t id) {
  char digits[kIdDigits + 1];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(id));
  WString out;
  for (std::size_t i = 0; i < kIdDigits; ++i) out += static_cast<platform::WChar>(digits[i]);
  return out;
}

WString StagedName(const WString& target, const WString& idText, std::uint32_t number) {
  return TemporaryName(target, idText, number, "new", false);
}

WString AsideName(const WString& target, const WString& idText, std::uint32_t number) {
  return TemporaryName(target, idText, number, "old", false);
}

bool IsTemporaryName(const WString& name, const WString& idText) {
  if (EndsWith(name, WIDE(".new~") + idText) || EndsWith(name, WIDE(".old~") + idText) ||
      EndsWith(name, WIDE(".dir~") + idText)) {
    return true;
  }
  const std::size_t cut = name.find_last_of(platform::kPreferredSeparator);
  const WString prefix = WIDE("~") + idText + WIDE("-");
  return name.compare(cut == WString::npos ? 0 : cut + 1, prefix.size(), prefix) == 0;
}

bool JournalWriter::Create(const WString& path, std::uint32_t id) {
  file_ = platform::File::CreateNew(path, 0);
  if (!file_ || !file_.LockExclusive()) return false;
  idText_ = IdText(id);
  platform::Utf16ToUtf8(idText_, idUtf8_);
  pending_.reserve(kWriteChunk + kMaxLine);
  pending_ = kHeader;
  pending_ += static_cast<char>('0' + kFormat);
  pending_ += '\t';
  pending_ += idUtf8_;
  pending_ += '\n';
  files_ = 0;
  end_ = 0;
  return true;
}

bool JournalWriter::Resume(platform::File file, const WString& idText, std::uint64_t end) {
  file_ = std::move(file);
  idText_ = idText;
  platform::Utf16ToUtf8(idText_, idUtf8_);
  pending_.clear();
  end_ = end;
  // A record written behind a line the reader does not take would never be read.
  return file_ && file_.SetSize(end_);
}

bool JournalWriter::Gather(const char* kind, const WString& name) {
  if (!platform::Utf16ToUtf8(name, utf8_)) return false;
  pending_ += kind;
  pending_ += '\t';
  pending_ += utf8_;
  return true;
}

bool JournalWriter::AddFolder(const WString& folder, bool outermost) {
  if (!Gather("folder", folder)) return false;
  if (outermost) {
    std::string staged;
    if (!platform::Utf16ToUtf8(TemporaryName(folder, idText_, files_, "dir", false), staged)) {
      return false;
    }
    pending_ += '\t';
    pending_ += staged;
  }
  pending_ += '\n';
  return pending_.size() < kWriteChunk || WriteGathered();
}

bool JournalWriter::AddNewFile(const WString& target) {
  if (!Gather("new", target)) return false;
  pending_ += '\n';
  ++files_;
  return pending_.size() < kWriteChunk || WriteGathered();
}

bool JournalWriter::AddFile(bool replaces, const WString& target, std::uint32_t& number) {
  number = files_;
  std::string names;
  WString name = StagedName(target, idText_, number);
  if (!Gather(replaces ? "replace" : "add", target) || !platform::Utf16ToUtf8(name, names)) {
    return false;
  }
  pending_ += '\t';
  pending_ += names;
  if (replaces) {
    name = AsideName(target, idText_, number);
    if (!platform::Utf16ToUtf8(name, names)) return false;
    pending_ += '\t';
    pending_ += names;
  }
  pending_ += '\n';
  ++files_;
  return pending_.size() < kWriteChunk || WriteGathered();
}

bool JournalWriter::WriteGathered() {
  if (pending_.empty()) return true;
  // One write per record (or piece of records): a stop leaves whole lines and perhaps one cut
  // line, which the reader takes as the end.
  if (!file_.WriteAt(end_, pending_.data(), pending_.size())) return false;
  end_ += pending_.size();
  pending_.clear();
  return true;
}

bool JournalWriter::Write() { return WriteGathered() && (!durable_ || file_.Flush()); }

bool JournalWriter::SetPhase(JournalPhase phase) {
  switch (phase) {
    case JournalPhase::kStage:
      return false;
    case JournalPhase::kCommit:
      pending_ += "phase\tcommit\n";
      break;
    case JournalPhase::kRollback:
      pending_ += "phase\trollback\n";
      break;
    case JournalPhase::kCommitted:
      pending_ += "phase\tcommitted\n";
      break;
  }
  return Write();
}

bool JournalWriter::AddRestart(const WString& aside) {
  if (!Gather("restart", aside)) return false;
  pending_ += '\n';
  return WriteGathered();
}

bool JournalReader::NextLine(std::string& line) {
  line.clear();
  for (;;) {
    const std::size_t end = buffer_.find('\n', used_);
    if (end != std::string::npos) {
      line.append(buffer_, used_, end - used_);
      used_ = end + 1;
      consumed_ += line.size() + 1;
      return line.size() <= kMaxLine;
    }
    line.append(buffer_, used_, std::string::npos);
    used_ = 0;
    buffer_.resize(kReadChunk);
    const std::int64_t got = file_.ReadAt(offset_, buffer_.data(), buffer_.size());
    if (got < 0) failed_ = true;
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
  consumed_ = 0;
  end_ = 0;
  used_ = 0;
  buffer_.clear();
  madeFolders_.clear();
  ended_ = true;
  failed_ = false;
  unknownFormat_ = false;
  phase_ = JournalPhase::kStage;
  commitBegun_ = false;
  files_ = 0;
  const std::size_t prefix = sizeof kHeader - 1;
  // "update journal", tab, the format digit, tab, the id.
  if (!NextLine(line_) || line_.size() != prefix + 2 + kIdDigits ||
      line_.compare(0, prefix, kHeader) != 0 || line_[prefix + 1] != '\t') {
    return false;
  }
  for (std::size_t i = prefix + 2; i < line_.size(); ++i) {
    const char c = line_[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  if (line_[prefix] < '1' || line_[prefix] > '9') return false;
  format_ = line_[prefix] - '0';
  if (format_ > kFormat) {
    // A whole header of another format: not damage, but nothing this reader may act on.
    unknownFormat_ = true;
    return false;
  }
  if (!ToWide(line_, prefix + 2, line_.size(), idText_)) return false;
  ended_ = false;
  end_ = consumed_;
  return true;
}

bool JournalReader::TakePhase(const std::string& line) {
  const std::string_view name = std::string_view(line).substr(6);  // after "phase\t"
  if (name == "commit" && phase_ == JournalPhase::kStage) {
    phase_ = JournalPhase::kCommit;
    commitBegun_ = true;
    return true;
  }
  if (name == "committed" && phase_ == JournalPhase::kCommit) {
    phase_ = JournalPhase::kCommitted;
    return true;
  }
  if (name == "rollback" && format_ >= 2 &&
      (phase_ == JournalPhase::kStage || phase_ == JournalPhase::kCommit)) {
    phase_ = JournalPhase::kRollback;
    return true;
  }
  // A phase that does not follow the one before is damage.
  return false;
}

bool JournalReader::Parse(const std::string& line, JournalEntry& entry, bool& isEntry) {
  isEntry = false;
  if (line.compare(0, 6, "phase\t") == 0) return TakePhase(line);
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
  if (count < 2) return false;
  const std::string_view kind = std::string_view(line).substr(0, fields[1] - 1);
  entry.staged.clear();
  entry.aside.clear();
  if (!field(1, entry.target)) return false;
  if (kind == "restart" && count == 2) {
    // Only after the commit ended, and only a name of this install's own.
    if (phase_ != JournalPhase::kCommitted || entry.target.empty() ||
        zip::CheckRelativePath(entry.target) != zip::NameVerdict::kOk ||
        !IsTemporaryName(entry.target, idText_)) {
      return false;
    }
    entry.kind = JournalEntry::kRestart;
    isEntry = true;
    return true;
  }
  // Records of files and folders come before any phase record.
  if (phase_ != JournalPhase::kStage || !IsValidName(entry.target)) return false;
  entry.outermost.clear();
  const std::size_t cut = entry.target.find_last_of(platform::kPreferredSeparator);
  // The made folder the entry lies in, if any: where it stands until the commit.
  const auto parent =
      cut == WString::npos ? madeFolders_.end() : madeFolders_.find(entry.target.substr(0, cut));
  auto inParent = [&] {
    entry.staged = parent->second.staged;
    entry.staged.append(entry.target, cut, WString::npos);
    entry.outermost = parent->second.outermost;
  };
  if (kind == "folder" && (count == 2 || (count == 3 && format_ >= 3))) {
    entry.kind = JournalEntry::kFolder;
    if (count == 3) {
      // Made under a temporary name beside its final one, renamed at the commit.
      if (parent != madeFolders_.end() || !field(2, entry.staged) ||
          entry.staged != TemporaryName(entry.target, idText_, files_, "dir", false)) {
        return false;
      }
      entry.outermost = entry.target;
    } else if (format_ >= 3) {
      // Inside a folder the install makes, and made where that folder stands.
      if (parent == madeFolders_.end()) return false;
      inParent();
    } else {
      entry.staged = entry.target;  // earlier launchers made each folder under its own name
      entry.outermost = entry.target;
    }
    madeFolders_[entry.target] = MadeFolder{entry.staged, entry.outermost};
  } else if (kind == "new" && count == 2) {
    entry.kind = JournalEntry::kNew;
    // A file written under its own name: only in a folder of the install's own.
    if (parent == madeFolders_.end()) return false;
    inParent();
    entry.number = files_++;
  } else if ((kind == "add" && count == 3) || (kind == "replace" && count == 4)) {
    entry.kind = count == 3 ? JournalEntry::kAdd : JournalEntry::kReplace;
    entry.number = files_;
    const bool suffixOnly = format_ == 1;
    if (!field(2, entry.staged) ||
        entry.staged != TemporaryName(entry.target, idText_, files_, "new", suffixOnly)) {
      return false;
    }
    if (count == 4 &&
        (!field(3, entry.aside) ||
         entry.aside != TemporaryName(entry.target, idText_, files_, "old", suffixOnly))) {
      return false;
    }
    ++files_;
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
    end_ = consumed_;
    if (isEntry) return true;
  }
  return false;
}

}  // namespace update
