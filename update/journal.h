// The journal of one install: a small text file in the install folder that names, before
// anything is acted on, every decision of the install, so that an install stopped at any
// moment (killed, power lost) is finished or undone by the next launch from this file alone.
// The install is driven through the same file, so it needs the same memory for any number of
// items, and nothing is ever done that the file does not say.
//
// UTF-8 text, one record per line ending in "\n", fields separated by tabs (names never hold
// control characters). Names are relative to the install folder, with the system's separators:
//   update journal <tab> 3 <tab> ID       the header: format 3, ID the 8 hex digits in every
//                                         temporary name of this install
//   folder <tab> F <tab> D                folder F, missing in a folder that exists, is made
//                                         as D (F.dir~ID) and renamed to F in the commit
//   folder <tab> F                        folder F inside a folder this install makes
//   new <tab> T                           a new file T in a folder this install makes, written
//                                         under its own name there: nobody else knows D's
//   add <tab> T <tab> S                   a new file T, staged as S
//   replace <tab> T <tab> S <tab> A       T is replaced by S; its old file is set aside as A
//   phase <tab> commit                    every file is staged and on the disk: renames begin
//   phase <tab> rollback                  the install is undone; never rolled forward again
//   phase <tab> committed                 every new file is in place: the set-aside ones go
//   restart <tab> A                       set-aside file A is deleted when the system starts
// S is T.new~ID and A is T.old~ID, or, where T's last step is too long to take the suffix
// within a name's 255 units, ~ID-N.new and ~ID-N.old beside it (N: the record's number
// among the file records; ~ID-N.dir for D). Until the commit everything the install makes
// stands under a name no other program uses, so that the undo deletes only what the install
// wrote; a made folder another program wrote into once it had its name stays.
//
// What reaches the disk when: the header and every record are written, and flushed, before
// anything they name is made (JournalWriter::Write); each phase record is flushed at once
// (SetPhase); restart records are not flushed (a lost one only repeats a request). The phase
// moves forward only: stage (no phase record yet), then commit or rollback; commit, then
// committed or rollback. A line cut short, or one that does not check, ends the journal
// there: nothing after it is trusted.
//
// Memory: the writer gathers at most one piece (16 KiB) of records before it writes them, and
// the reader holds one piece and one line, whatever the number of records; the reader's set of
// the folders the journal makes grows with the folder records, and an undo, which goes last
// record first, holds every record of the journal (its names) while it runs.
//
// The installed release's record (update.sequence) is an add or replace record like any file's:
// only its staged bytes come from the launcher rather than the package, which recovery never
// needs to know, so no format change was needed and earlier launchers finish such a journal.
//
// Formats 1 and 2, written by earlier launchers, are read as well, so their interrupted
// installs still end: format 1 has no rollback or restart record and always the suffix form;
// in both, every folder record names a folder made under its own name.
// A journal of any other format is left as it is: this launcher cannot know what it says.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "platform/file.h"
#include "platform/text.h"

namespace update {

// The journal's name in the install folder.
inline constexpr platform::WChar kJournalName[] = WIDE("update.journal");

enum class JournalPhase { kStage, kCommit, kRollback, kCommitted };

struct JournalEntry {
  enum Kind {
    kFolder,
    kNew,
    kAdd,
    kReplace,
    kRestart,
  };
  Kind kind = kFolder;
  platform::WString target;  // the folder, the file's final name, or (kRestart) the aside name
  // kAdd, kReplace: the new file's temporary name; kFolder, kNew: where the install makes it
  // (inside the outermost made folder's temporary name; the target itself in formats 1 and 2)
  platform::WString staged;
  // kFolder, kNew: the outermost folder the install makes on the way (the folder itself, for
  // an outermost one), by its final name
  platform::WString outermost;
  platform::WString aside;   // kReplace: the old file's name while it is set aside
  std::uint32_t number = 0;  // kNew, kAdd, kReplace: the record's number among file records
};

// The temporary names of target `target` for file record `number` of the install whose id is
// `idText`.
platform::WString StagedName(const platform::WString& target, const platform::WString& idText,
                             std::uint32_t number);
platform::WString AsideName(const platform::WString& target, const platform::WString& idText,
                            std::uint32_t number);
// The 8 hex digits of `id` as they appear in names.
platform::WString IdText(std::uint32_t id);
// True when `name` (relative) could be a temporary name of the install whose id is `idText`:
// no item may take such a name.
bool IsTemporaryName(const platform::WString& name, const platform::WString& idText);

// Writes a new journal. Records are gathered in memory and written in large pieces by Write,
// which the install calls before it acts on them; phase records are written and flushed at
// once.
class JournalWriter {
 public:
  // Creates the journal at `path` and holds it as a lock. False when it exists already
  // (platform::LastFileError() kExists) or cannot be made.
  bool Create(const platform::WString& path, std::uint32_t id);
  // Takes over the journal `file` (held as a lock) of the install whose id is `idText`, to
  // add records from `end` on, where its reader stopped (JournalReader::end()); whatever lay
  // there, a record cut short say, is cut off first. Recovery writes its decisions this way.
  bool Resume(platform::File file, const platform::WString& idText, std::uint64_t end);
  // Gather a record; false only when a name cannot be written as UTF-8. `outermost`: the
  // folder's parent exists already, so it is made under a temporary name.
  bool AddFolder(const platform::WString& folder, bool outermost);
  bool AddNewFile(const platform::WString& target);
  // Adds an add or replace record; `number` receives the record's number among file records.
  bool AddFile(bool replaces, const platform::WString& target, std::uint32_t& number);
  // Writes what was gathered and, when durable, waits until the journal is on the disk.
  bool Write();
  // Writes the phase record and, when durable, waits until the journal is on the disk.
  bool SetPhase(JournalPhase phase);
  // Whether writes wait for the disk (the default): what a power loss must not take. A record
  // written without waiting is in the file all the same once the call returns, so a stopped
  // process leaves it; only a power cut could.
  void SetDurable(bool durable) { durable_ = durable; }
  // Writes a restart record (no wait: it only spares the next launch a repeated request).
  bool AddRestart(const platform::WString& aside);

  platform::File& file() { return file_; }
  const platform::WString& idText() const { return idText_; }
  void Close() { file_.Close(); }

 private:
  bool Gather(const char* kind, const platform::WString& name);
  bool WriteGathered();

  platform::File file_;
  std::uint64_t end_ = 0;  // where the next record goes
  platform::WString idText_;
  std::string idUtf8_;
  std::string pending_;  // records not written yet
  std::string utf8_;     // reused for every name
  std::uint32_t files_ = 0;
  bool durable_ = true;
};

// Reads a journal record by record from its start. Every record is checked: names must be
// relative names inside the install folder and temporary names must be the target's own with
// the header's id, so a damaged or foreign file can name nothing else.
class JournalReader {
 public:
  explicit JournalReader(platform::File& file) : file_(file) {}
  // Reads the header; false when there is none (the journal was stopped before it was whole)
  // or it is of a format this reader does not know (unknownFormat()).
  bool ReadHeader();
  // The next record; false at the end or at the first record that is cut short or does not
  // check. Phase records are taken in passing.
  bool Next(JournalEntry& entry);

  const platform::WString& idText() const { return idText_; }
  // The header is whole but names a format this reader does not know: a later launcher's,
  // which only it can finish.
  bool unknownFormat() const { return unknownFormat_; }
  // The last phase seen so far: read to the end (Next false) to know the journal's phase.
  JournalPhase phase() const { return phase_; }
  // True once reading the file failed: what was read ends there, so nothing may be concluded
  // from what was not seen (a phase record, say).
  bool failed() const { return failed_; }
  // Whether a commit record was seen: renames may have begun.
  bool commitBegun() const { return commitBegun_; }
  // The offset just behind the last line taken: where a record may be added.
  std::uint64_t end() const { return end_; }

 private:
  bool NextLine(std::string& line);
  bool Parse(const std::string& line, JournalEntry& entry, bool& isEntry);
  bool TakePhase(const std::string& line);

  platform::File& file_;
  std::uint64_t offset_ = 0;    // of the next piece to read
  std::uint64_t consumed_ = 0;  // bytes of the lines handed out so far, line ends included
  std::uint64_t end_ = 0;
  std::string buffer_;
  std::size_t used_ = 0;
  std::string line_;
  platform::WString idText_;
  int format_ = 0;
  JournalPhase phase_ = JournalPhase::kStage;
  bool commitBegun_ = false;
  bool ended_ = false;
  bool failed_ = false;
  bool unknownFormat_ = false;
  std::uint32_t files_ = 0;
  // The folders the journal says the install makes, by final name: a file written under its
  // own name must be in one of them, or the record names a file of the user's.
  struct MadeFolder {
    platform::WString staged;     // where it stands until the commit
    platform::WString outermost;  // the outermost made folder on its way
  };
  std::unordered_map<platform::WString, MadeFolder> madeFolders_;
};

}  // namespace update
