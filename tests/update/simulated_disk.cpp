#include "tests/update/simulated_disk.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace updatetest {

using platform::FileError;
using platform::PathKind;
using platform::WString;

namespace {

constexpr platform::WChar kSlash = WIDE('/');

bool StartsWith(const WString& text, const WString& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// What a name inside folder `key` starts with.
WString ChildPrefix(const WString& key) { return key == WIDE("/") ? key : key + kSlash; }

std::string Utf8(const WString& text) {
  std::string out;
  platform::Utf16ToUtf8(text, out);
  return out;
}

}  // namespace

SimulatedDisk::Key SimulatedDisk::Normal(const WString& path, WString* display) {
  WString out;
  for (platform::WChar c : path) {
#ifdef _WIN32
    if (c == WIDE('\\')) c = kSlash;
#endif
    if (c == kSlash && !out.empty() && out.back() == kSlash) continue;
    out += c;
  }
  while (out.size() > 1 && out.back() == kSlash) out.pop_back();
  if (display != nullptr) *display = out;
#ifdef _WIN32
  return platform::FoldCase(out);
#else
  return out;
#endif
}

SimulatedDisk::Key SimulatedDisk::Parent(const Key& key) {
  const std::size_t cut = key.find_last_of(kSlash);
  if (cut == WString::npos || key.size() == 1) return WString();
  return cut == 0 ? WString(1, kSlash) : key.substr(0, cut);
}

bool SimulatedDisk::Apply(State& s, const Op& op) {
  auto folder = [&](const Key& key) {
    const auto it = s.names.find(key);
    return it != s.names.end() && it->second.folder;
  };
  const auto found = s.names.find(op.key);
  const bool isFile = found != s.names.end() && !found->second.folder;
  switch (op.kind) {
    case Op::kMakeFile:
    case Op::kMakeFolder:
      if (found != s.names.end() || !folder(Parent(op.key))) return false;
      s.names[op.key] = Entry{op.path, op.kind == Op::kMakeFolder, op.file};
      if (op.kind == Op::kMakeFile)
        s.files[op.file] = Data{std::make_shared<const std::string>(), op.attributes, 0};
      return true;
    case Op::kRemoveFolder: {
      // It was empty when removed: what it still holds here lost its removal, and goes with
      // the folder, as a file system without an order loses the entries of a folder it freed.
      if (!folder(op.key)) return false;
      const WString prefix = ChildPrefix(op.key);
      for (auto next = s.names.lower_bound(prefix);
           next != s.names.end() && StartsWith(next->first, prefix);
           next = s.names.lower_bound(prefix)) {
        if (next->first == op.key) break;  // the root's own key is its prefix
        Unname(s, next);
      }
      s.names.erase(op.key);
      return true;
    }
    case Op::kRemove:
      if (!isFile) return false;
      Unname(s, found);
      return true;
    case Op::kRename:
      if (found != s.names.end() && found->second.folder) {
        // A folder moves with everything in it.
        if (s.names.count(op.toKey) != 0 || !folder(Parent(op.toKey))) return false;
        const WString prefix = ChildPrefix(op.key);
        std::vector<std::pair<Key, Entry>> moved;
        for (auto it = s.names.lower_bound(prefix);
             it != s.names.end() && StartsWith(it->first, prefix);) {
          moved.emplace_back(op.toKey + it->first.substr(op.key.size()), it->second);
          moved.back().second.path = op.to + it->second.path.substr(op.key.size());
          it = s.names.erase(it);
        }
        Entry self = found->second;
        self.path = op.to;
        s.names.erase(found);
        s.names[op.toKey] = self;
        for (auto& m : moved) s.names[m.first] = m.second;
        return true;
      }
      [[fallthrough]];
    case Op::kLink: {
      // A link names the file itself, which may have lost its old name or never been made.
      const bool source = op.kind == Op::kLink ? s.files.count(op.file) != 0 : isFile;
      if (!source || !folder(Parent(op.toKey))) return false;
      const std::uint64_t file = op.kind == Op::kLink ? op.file : found->second.file;
      const auto target = s.names.find(op.toKey);
      if (target != s.names.end() && target->second.file != file) {
        if (!op.replace || target->second.folder) return false;
        Unname(s, target);
      }
      if (op.kind == Op::kRename) s.names.erase(op.key);
      s.names[op.toKey] = Entry{op.to, false, file};
      return true;
    }
    case Op::kWrite:
    case Op::kSetSize:
    case Op::kMeta: {
      const auto data = s.files.find(op.file);
      if (data == s.files.end()) return false;
      if (op.kind == Op::kWrite || op.kind == Op::kSetSize) {
        auto bytes = std::make_shared<std::string>(*data->second.bytes);
        if (op.kind == Op::kSetSize) {
          bytes->resize(static_cast<std::size_t>(op.offset), '\0');
        } else {
          const std::size_t at = static_cast<std::size_t>(op.offset);
          if (bytes->size() < at + op.bytes->size()) bytes->resize(at + op.bytes->size(), '\0');
          bytes->replace(at, op.bytes->size(), *op.bytes);
        }
        data->second.bytes = std::move(bytes);
      } else {
        data->second.attributes = op.attributes;
        if (op.modification != 0) data->second.modification = op.modification;
      }
      return true;
    }
  }
  return false;
}

void SimulatedDisk::Unname(State& s, std::map<Key, Entry>::iterator at) {
  const std::uint64_t file = at->second.file;
  s.names.erase(at);
  for (const auto& entry : s.names) {
    if (!entry.second.folder && entry.second.file == file) return;
  }
  s.files.erase(file);
}

bool SimulatedDisk::Do(Op op) {
  const auto parent = now_.names.find(Parent(op.kind == Op::kLink ? op.toKey : op.key));
  if (parent != now_.names.end()) op.parent = parent->second.file;
  if (!Apply(now_, op)) return Fail(FileError::kOther);
  op.volume = VolumeOf(op.kind == Op::kLink ? op.toKey : op.key);
  ops_.push_back(std::move(op));
  return true;
}

SimulatedDisk::Key SimulatedDisk::VolumeOf(const Key& key) const {
  Key volume;
  for (const Key& m : mountPoints_) {
    if ((key == m || StartsWith(key, ChildPrefix(m))) && m.size() > volume.size()) volume = m;
  }
  return volume;
}

const SimulatedDisk::Entry* SimulatedDisk::Find(const WString& path, Key& key) const {
  key = Normal(path);
  const auto it = now_.names.find(key);
  return it == now_.names.end() ? nullptr : &it->second;
}

bool SimulatedDisk::IsOpen(std::uint64_t file) const {
  return std::any_of(handles_.begin(), handles_.end(),
                     [&](const auto& h) { return h.second.file == file; });
}

SimulatedDisk::Handle* SimulatedDisk::Held(std::uint32_t file) {
  const auto it = handles_.find(file);
  if (it != handles_.end()) return &it->second;
  Fail(FileError::kOther);
  return nullptr;
}

bool SimulatedDisk::Fail(FileError error) const {
  platform::SetLastFileError(error);
  return false;
}

void SimulatedDisk::Compact() {
  // A durable operation with only durable ones before it is part of the durable state.
  std::size_t n = 0;
  while (n < ops_.size() && ops_[n].durable) Apply(durable_, ops_[n++]);
  ops_.erase(ops_.begin(), ops_.begin() + static_cast<std::ptrdiff_t>(n));
}

void SimulatedDisk::MarkDurable(std::uint64_t file) {
  for (Op& op : ops_) {
    // Its data and its own creation; never a rename or removal of it.
    const bool own = op.kind == Op::kMakeFile || op.kind == Op::kWrite || op.kind == Op::kSetSize ||
                     op.kind == Op::kMeta;
    if (op.file == file && own) op.durable = true;
  }
  Compact();
}

void SimulatedDisk::MakeFolders(const WString& folder) {
  WString display;
  const Key key = Normal(folder, &display);
  for (std::size_t i = 0; i <= key.size(); ++i) {
    if (i != key.size() && key[i] != kSlash) continue;
    const std::size_t length = i == 0 ? 1 : i;
    Entry e{display.substr(0, length), true, nextFile_++};
    durable_.names.emplace(key.substr(0, length), e);
    now_.names.emplace(key.substr(0, length), e);
  }
}

void SimulatedDisk::MountVolumeAt(const WString& folder) { mountPoints_.insert(Normal(folder)); }

void SimulatedDisk::Settle() {
  for (Op& op : ops_) op.durable = true;
  Compact();
}

std::size_t SimulatedDisk::Unflushed() const {
  return static_cast<std::size_t>(
      std::count_if(ops_.begin(), ops_.end(), [](const Op& op) { return !op.durable; }));
}

SimulatedDisk SimulatedDisk::AfterPowerCut(const std::vector<bool>& keep) const {
  SimulatedDisk d(volumeFlush_);
  d.durable_ = durable_;
  d.mountPoints_ = mountPoints_;
  d.nextFile_ = nextFile_;
  std::size_t k = 0;
  for (const Op& op : ops_) {
    const bool kept = op.durable || (k < keep.size() && keep[k]);
    if (!op.durable) ++k;
    if (kept) Apply(d.durable_, op);
  }
  for (const Key& key : atRestart_) {
    Op remove;
    remove.kind = Op::kRemove;
    remove.key = key;
    Apply(d.durable_, remove);
  }
  d.now_ = d.durable_;
  return d;
}

std::string SimulatedDisk::DescribeUnflushed(const std::vector<bool>& keep) const {
  static const char* const kKinds[] = {"make file", "make folder", "remove folder",
                                       "remove",    "rename",      "link",
                                       "write",     "set size",    "set meta"};
  std::string out;
  std::size_t k = 0;
  for (const Op& op : ops_) {
    if (op.durable) continue;
    out += (k < keep.size() && keep[k++]) ? "  + " : "  - ";
    out += kKinds[op.kind];
    out += " " + Utf8(op.path);
    if (op.kind == Op::kRename || op.kind == Op::kLink) out += " -> " + Utf8(op.to);
    if (op.kind == Op::kWrite) out += " (" + std::to_string(op.bytes->size()) + " bytes)";
    out += "\n";
  }
  return out;
}

Snapshot SimulatedDisk::Take(const WString& folder) const {
  Snapshot s;
  const WString prefix = ChildPrefix(Normal(folder));
  for (auto it = now_.names.lower_bound(prefix);
       it != now_.names.end() && StartsWith(it->first, prefix); ++it) {
    FileState state;
    state.folder = it->second.folder;
    if (!state.folder) {
      const Data& data = now_.files.at(it->second.file);
      state.bytes = *data.bytes;
      state.attributes = data.attributes & platform::kAttrReadOnly;
      state.modification = data.modification;
    }
    s[Utf8(it->second.path.substr(prefix.size()))] = state;
  }
  return s;
}

std::uint32_t SimulatedDisk::Open(platform::FileCall how, const WString& path,
                                  std::uint32_t attributes) {
  Key key;
  WString display;
  const Entry* e = Find(path, key);
  Handle h;
  h.key = key;
  h.path = e != nullptr ? e->path : WString();
  // Opened without following links, a file is read and shared with readers as it is read.
  h.write = how != platform::FileCall::kOpenForRead && how != platform::FileCall::kOpenNoFollow;
  // A folder opens only as itself, to be looked at.
  if (e != nullptr && e->folder && how != platform::FileCall::kOpenNoFollow) {
    return Fail(FileError::kOther);
  }
  h.folder = e != nullptr && e->folder;
  if (e != nullptr) {
    if (how == platform::FileCall::kCreateNew) return Fail(FileError::kExists);
    // Readers share with readers only; every other open is exclusive.
    for (const auto& other : handles_) {
      if (other.second.file == e->file && (h.write || other.second.write)) {
        return Fail(FileError::kBusy);
      }
    }
    h.file = e->file;
    if (how == platform::FileCall::kCreate) {
      if (now_.files.at(e->file).attributes & platform::kAttrReadOnly) {
        return Fail(FileError::kBusy);  // access denied
      }
      Op cut;
      cut.kind = Op::kSetSize;
      cut.key = key;
      cut.path = e->path;
      cut.file = e->file;
      Op meta = cut;
      meta.kind = Op::kMeta;
      meta.attributes = attributes;
      if (!Do(cut) || !Do(meta)) return 0;
    }
  } else {
    if (how == platform::FileCall::kOpenForRead || how == platform::FileCall::kOpenExclusive ||
        how == platform::FileCall::kOpenNoFollow) {
      return Fail(FileError::kNotFound);
    }
    Normal(path, &display);
    if (Probe(WString(Parent(display))) != PathKind::kFolder) return Fail(FileError::kNotFound);
    Op make;
    make.kind = Op::kMakeFile;
    make.key = key;
    make.path = display;
    make.file = nextFile_++;
    make.attributes = attributes;
    if (!Do(make)) return 0;
    h.file = make.file;
    h.path = display;
  }
  const std::uint32_t handle = nextHandle_++;
  handles_[handle] = h;
  return handle;
}

std::int64_t SimulatedDisk::ReadAt(std::uint32_t file, std::uint64_t offset, void* buffer,
                                   std::size_t length) {
  const Handle* h = Held(file);
  if (h == nullptr) return -1;
  const std::string& bytes = *now_.files.at(h->file).bytes;
  if (offset >= bytes.size()) return 0;
  const std::size_t n = std::min(length, bytes.size() - static_cast<std::size_t>(offset));
  std::memcpy(buffer, bytes.data() + offset, n);
  return static_cast<std::int64_t>(n);
}

SimulatedDisk::Op SimulatedDisk::OnHandle(Op::Kind kind, const Handle& h) {
  Op op;
  op.kind = kind;
  op.file = h.file;
  op.key = h.key;
  op.path = h.path;
  return op;
}

bool SimulatedDisk::Write(std::uint32_t file, const std::uint64_t* offset, const void* data,
                          std::size_t length) {
  Handle* h = Held(file);
  if (h == nullptr || !h->write) return h == nullptr ? false : Fail(FileError::kOther);
  const std::uint64_t at = offset != nullptr ? *offset : h->position;
  if (offset == nullptr) h->position += length;
  if (length == 0) return true;
  Op op = OnHandle(Op::kWrite, *h);
  op.offset = at;
  op.bytes = std::make_shared<const std::string>(static_cast<const char*>(data), length);
  return Do(std::move(op));
}

bool SimulatedDisk::SetSize(std::uint32_t file, std::uint64_t size) {
  const Handle* h = Held(file);
  if (h == nullptr || !h->write) return h == nullptr ? false : Fail(FileError::kOther);
  Op op = OnHandle(Op::kSetSize, *h);
  op.offset = size;
  return Do(std::move(op));
}

bool SimulatedDisk::Flush(std::uint32_t file) {
  const Handle* h = Held(file);
  if (h == nullptr) return false;
  MarkDurable(h->file);
  return true;
}

bool SimulatedDisk::Size(std::uint32_t file, std::uint64_t& size) {
  const Handle* h = Held(file);
  if (h == nullptr) return false;
  size = now_.files.at(h->file).bytes->size();
  return true;
}

bool SimulatedDisk::SetTimes(std::uint32_t file, const platform::FileTimes& times) {
  const Handle* h = Held(file);
  if (h == nullptr) return false;
  if (times.modification == 0) return true;
  Op op = OnHandle(Op::kMeta, *h);
  op.attributes = now_.files.at(h->file).attributes;
  op.modification = times.modification;
  return Do(std::move(op));
}

bool SimulatedDisk::Inspect(std::uint32_t file, platform::OpenedFileInfo& info) {
  const Handle* h = Held(file);
  if (h == nullptr) return false;
  // No links here: every file has its one name.
  info = platform::OpenedFileInfo{};
  info.kind =
      h->folder ? platform::OpenedFileInfo::Kind::kOther : platform::OpenedFileInfo::Kind::kRegular;
  info.links = 1;
  return true;
}

bool SimulatedDisk::RemoveOpened(std::uint32_t file) {
  Handle* h = Held(file);
  if (h == nullptr) return false;
  h->removeOnClose = true;
  return true;
}

void SimulatedDisk::Close(std::uint32_t file) {
  const auto it = handles_.find(file);
  if (it == handles_.end()) return;
  const Handle h = it->second;
  handles_.erase(it);
  // As the system does: a name deleted through its handle goes once the handle is closed.
  if (!h.removeOnClose) return;
  Op op;
  op.kind = Op::kRemove;
  op.key = h.key;
  op.path = h.path;
  op.file = h.file;
  Do(std::move(op));
}

PathKind SimulatedDisk::Probe(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr) {
    Fail(FileError::kNotFound);
    return PathKind::kMissing;
  }
  return e->folder ? PathKind::kFolder : PathKind::kFile;
}

bool SimulatedDisk::CreateFolder(const WString& path) {
  Key key;
  if (Find(path, key) != nullptr) return Fail(FileError::kExists);
  Op op;
  op.kind = Op::kMakeFolder;
  op.file = nextFile_++;
  op.key = Normal(path, &op.path);
  if (Probe(WString(Parent(op.path))) != PathKind::kFolder) return Fail(FileError::kNotFound);
  return Do(std::move(op));
}

bool SimulatedDisk::RemoveFolder(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr) return Fail(FileError::kNotFound);
  const WString prefix = ChildPrefix(key);
  const auto next = now_.names.lower_bound(prefix);
  if (!e->folder ||
      (next != now_.names.end() && next->first != key && StartsWith(next->first, prefix))) {
    return Fail(FileError::kOther);
  }
  Op op;
  op.kind = Op::kRemoveFolder;
  op.key = key;
  op.path = e->path;
  return Do(std::move(op));
}

bool SimulatedDisk::IsSymbolicLink(const WString&) { return false; }

bool SimulatedDisk::IsMountPoint(const WString& path) {
  return mountPoints_.count(Normal(path)) != 0;
}

bool SimulatedDisk::CanDeleteNow(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr) return Fail(FileError::kNotFound);
  return e->folder || !IsOpen(e->file) || Fail(FileError::kBusy);
}

bool SimulatedDisk::FreeSpace(const WString& path, std::uint64_t& bytes) {
  if (Probe(path) != PathKind::kFolder) return false;
  bytes = std::uint64_t{1} << 30;
  return true;
}

bool SimulatedDisk::GetFileInfo(const WString& path, platform::FileInfo& info) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr) return Fail(FileError::kNotFound);
  info = platform::FileInfo{};
  if (e->folder) {
    info.attributes = platform::kAttrFolder;
    return true;
  }
  const Data& data = now_.files.at(e->file);
  info.size = data.bytes->size();
  info.attributes = data.attributes & platform::kAttrReadOnly;
  info.modification = data.modification;
  return true;
}

bool SimulatedDisk::RemoveFile(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr) return Fail(FileError::kNotFound);
  if (e->folder) return Fail(FileError::kOther);
  if (IsOpen(e->file)) return Fail(FileError::kBusy);
  Op op;
  op.kind = Op::kRemove;
  op.key = key;
  op.path = e->path;
  op.file = e->file;
  return Do(std::move(op));
}

bool SimulatedDisk::RenameFile(const WString& from, const WString& to, bool replace) {
  Key key, toKey;
  const Entry* e = Find(from, key);
  const Entry* target = Find(to, toKey);
  if (e == nullptr) return Fail(FileError::kNotFound);
  if (e->folder) {
    // A folder is moved whole, one name; one that holds an open file is refused, as Windows does.
    const WString prefix = ChildPrefix(key);
    for (const auto& h : handles_) {
      if (StartsWith(h.second.key, prefix)) return Fail(FileError::kBusy);
    }
    if (target != nullptr) return Fail(FileError::kExists);
  } else if (IsOpen(e->file)) {
    return Fail(FileError::kBusy);
  }
  if (target != nullptr && target != e) {
    if (!replace) return Fail(FileError::kExists);
    if (target->folder) return Fail(FileError::kOther);
    if (IsOpen(target->file) ||
        (now_.files.at(target->file).attributes & platform::kAttrReadOnly)) {
      return Fail(FileError::kBusy);
    }
  }
  Op op;
  op.kind = Op::kRename;
  op.key = key;
  op.path = e->path;
  op.file = e->file;
  op.toKey = Normal(to, &op.to);
  op.replace = replace;
  if (Probe(WString(Parent(op.to))) != PathKind::kFolder) return Fail(FileError::kNotFound);
  if (e->folder || Parent(op.key) == Parent(op.toKey)) return Do(std::move(op));
  Op unlink = op;
  unlink.kind = Op::kRemove;
  op.kind = Op::kLink;
  return Do(std::move(op)) && Do(std::move(unlink));
}

bool SimulatedDisk::CopyFileReplacing(const WString& from, const WString& to) {
  Key key;
  const Entry* e = Find(from, key);
  if (e == nullptr || e->folder) return Fail(FileError::kNotFound);
  for (const auto& h : handles_) {
    if (h.second.file == e->file && h.second.write) return Fail(FileError::kBusy);
  }
  const Data source = now_.files.at(e->file);
  // As the system copies: the target made (or emptied), then the data, then its attributes and
  // time, each a step of its own that a power cut may keep or lose.
  const std::uint32_t out = Open(platform::FileCall::kCreate, to, source.attributes);
  if (out == 0) return false;
  const std::uint64_t file = handles_.at(out).file;
  handles_.erase(out);
  Op data;
  data.kind = Op::kWrite;
  data.key = Normal(to, &data.path);
  data.file = file;
  data.bytes = source.bytes;
  Op meta;
  meta.kind = Op::kMeta;
  meta.key = data.key;
  meta.path = data.path;
  meta.file = file;
  meta.attributes = source.attributes;
  meta.modification = source.modification;
  return (source.bytes->empty() || Do(std::move(data))) && Do(std::move(meta));
}

bool SimulatedDisk::RemoveFileAtRestart(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr || e->folder) return Fail(FileError::kNotFound);
  atRestart_.insert(key);
  return true;
}

bool SimulatedDisk::ListFolder(
    const WString& path,
    const std::function<void(const WString& name, const platform::FileInfo& info)>& visit) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr || !e->folder) return Fail(FileError::kNotFound);
  const WString prefix = ChildPrefix(key);
  // Gathered first: the visitor may change the folder.
  std::vector<std::pair<WString, platform::FileInfo>> found;
  for (auto it = now_.names.lower_bound(prefix);
       it != now_.names.end() && StartsWith(it->first, prefix); ++it) {
    if (it->first == key || it->first.find(kSlash, prefix.size()) != WString::npos) continue;
    platform::FileInfo info;
#ifdef _WIN32
    GetFileInfo(it->second.path, info);
#else
    // POSIX lists names and the folder bit alone.
    info.size = platform::FileInfo::kUnknownSize;
    if (it->second.folder) info.attributes = platform::kAttrFolder;
#endif
    found.emplace_back(it->second.path.substr(prefix.size()), info);
  }
  for (const auto& [name, info] : found) visit(name, info);
  return true;
}

bool SimulatedDisk::FlushFileSystem(const WString& path) {
  if (volumeFlush_ == VolumeFlush::kRefused) return Fail(FileError::kOther);
  Key key;
  if (Find(path, key) == nullptr) return Fail(FileError::kNotFound);
  const Key volume = VolumeOf(key);
  for (Op& op : ops_) {
    if (op.volume == volume) op.durable = true;
  }
  Compact();
  return true;
}

bool SimulatedDisk::FlushFile(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr || e->folder) return Fail(FileError::kNotFound);
  MarkDurable(e->file);
  return true;
}

bool SimulatedDisk::FlushFolder(const WString& path) {
  Key key;
  const Entry* e = Find(path, key);
  if (e == nullptr || !e->folder) return Fail(FileError::kNotFound);
  for (Op& op : ops_) {
    const bool names = op.kind != Op::kWrite && op.kind != Op::kSetSize && op.kind != Op::kMeta;
    if (!names || op.durable) continue;
    // By the folder itself, whatever it was called when the name was made there.
    if (op.parent == e->file) op.durable = true;
  }
  Compact();
  return true;
}

}  // namespace updatetest
