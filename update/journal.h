// The journal of one install: a small text file in the install folder that names, before it
// is made, everything the install puts on disk, so that an install stopped at any moment is
// finished or undone by the next launch from this file alone. The commit works through the
// same file, so an install needs the same memory for any number of items.
//
// UTF-8 text, one record per line ending in "\n", fields separated by tabs (names never hold
// control characters). Names are relative to the install folder, with the system's separators:
//   update journal <tab> 1 <tab> ID       the header: format 1, ID the 8 hex digits in every
//                                         temporary name of this install
//   folder <tab> F                        folder F is about to be created by this install
//   add <tab> T <tab> T.new~ID            a new file T, staged as T.new~ID
//   replace <tab> T <tab> T.new~ID <tab> T.old~ID
//                                         T is replaced; its old file is set aside as T.old~ID
//   new <tab> T                           a new file T in a folder this install made (named by
//                                         a folder record before it), written as T itself: the
//                                         folder is the install's own until the commit, and
//                                         goes whole when the install is undone
//   phase <tab> commit                    every item is staged and on the disk: renames begin
//   phase <tab> committed                 every new file is in place: the set-aside ones go
// A line cut short by a stop ends the journal there; nothing after it is trusted.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

#include "platform/file.h"
#include "platform/text.h"

namespace update {

// The journal's name in the install folder.
inline constexpr platform::WChar kJournalName[] = WIDE("update.journal");

enum class JournalPhase { kStage, kCommit, kCommitted };

struct JournalEntry {
  enum Kind { kFolder, kAdd, kReplace, kNew };
  Kind kind = kFolder;
  platform::WString target;  // the folder or the file's final name
  platform::WString staged;  // kAdd, kReplace: the new file's temporary name
  platform::WString aside;   // kReplace: the old file's name while it is set aside
};

// The temporary names of target `target` for the install whose id is `idText`.
platform::WString StagedName(const platform::WString& target, const platform::WString& idText);
platform::WString AsideName(const platform::WString& target, const platform::WString& idText);
// The 8 hex digits of `id` as they appear in names.
platform::WString IdText(std::uint32_t id);

// Appends records to a new journal. Each record is in the file before the call returns, so
// a stopped process leaves every record it wrote; it is copied into a mapped window of the
// file, so a record costs no system call of its own. Its line end is copied last: a record
// cut short by a stop is never a whole line. The file holds zeros past its last record.
class JournalWriter {
 public:
  // Creates the journal at `path`; false when it exists already (`*existed`) or cannot be made.
  bool Create(const platform::WString& path, std::uint32_t id, bool* existed);
  bool AddFolder(const platform::WString& folder);
  bool AddFile(bool replaces, const platform::WString& target);
  // A file written under its own name inside a folder this install made (AddFolder first).
  bool AddNewFile(const platform::WString& target);
  // Writes the phase record and waits until the journal is on the disk.
  bool SetPhase(JournalPhase phase);

  platform::File& file() { return file_; }
  const platform::WString& idText() const { return idText_; }
  // Closes the journal; the caller removes it once the install has ended.
  void Close() {
    window_.Close();
    file_.Close();
  }

 private:
  bool Append();

  platform::File file_;
  platform::AppendWindow window_;  // after file_: unmapped before the file closes
  platform::WString idText_;
  std::string idUtf8_;
  std::string line_;  // reused for every record
  std::string utf8_;  // reused for every name
};

// Reads a journal record by record from its start. Every record is checked: names must be
// relative names inside the install folder and temporary names must be the target's own with
// the header's id, so a damaged or foreign file can name nothing else.
class JournalReader {
 public:
  explicit JournalReader(platform::File& file) : file_(file) {}
  // Reads the header; false when there is none (the journal was stopped before it was whole).
  bool ReadHeader();
  // The next file or folder record; false at the end or at the first record that is cut
  // short or does not check. Phase records are taken in passing.
  bool Next(JournalEntry& entry);

  const platform::WString& idText() const { return idText_; }
  // The last phase seen so far: read to the end (Next false) to know the journal's phase.
  JournalPhase phase() const { return phase_; }

 private:
  bool NextLine(std::string& line);
  bool Parse(const std::string& line, JournalEntry& entry, bool& isEntry);

  platform::File& file_;
  std::uint64_t offset_ = 0;
  std::string buffer_;
  std::size_t used_ = 0;
  std::string line_;
  platform::WString idText_;
  JournalPhase phase_ = JournalPhase::kStage;
  bool ended_ = false;
  // The folders the journal says the install made: a file written under its own name must be
  // in one of them, or the record names a file of the user's.
  std::unordered_set<platform::WString> madeFolders_;
};

}  // namespace update
