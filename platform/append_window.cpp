#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/file.h"

namespace platform {
namespace {

// A multiple of every page size and of Windows' allocation granularity, which a view's
// offset must be.
constexpr std::size_t kWindowBytes = 65536;

// Only ever read: the room of a window. Not const, so that it lies in .bss and costs the
// program's file nothing.
unsigned char zeros[kWindowBytes];

}  // namespace

void AppendWindow::Begin(File& file, std::uint64_t offset) {
  Close();
  file_ = &file;
  end_ = offset;
}

bool AppendWindow::Append(const void* data, std::size_t length) {
  const auto* in = static_cast<const unsigned char*>(data);
  while (length > 0) {
    if ((view_ == nullptr || end_ == viewStart_ + kWindowBytes) && !MapWindowAtEnd()) {
      return false;
    }
    const auto at = static_cast<std::size_t>(end_ - viewStart_);
    const std::size_t n = std::min(length, kWindowBytes - at);
    std::memcpy(view_ + at, in, n);
    in += n;
    length -= n;
    end_ += n;
  }
  // The copies of a later call stay behind these, so that a stop between two calls never
  // leaves the later bytes in the file without the earlier ones.
  std::atomic_signal_fence(std::memory_order_seq_cst);
  return true;
}

bool AppendWindow::MapWindowAtEnd() {
  if (file_ == nullptr) return false;
  File& file = *file_;
  Unmap();
  const std::uint64_t start = end_ - end_ % kWindowBytes;
  if (!file.WriteAt(end_, zeros, static_cast<std::size_t>(start + kWindowBytes - end_))) {
    return false;
  }
#ifdef _WIN32
  // Sized 0: the whole file, which now reaches the window's end.
  HANDLE mapping =
      CreateFileMappingW(static_cast<HANDLE>(file.handle_), nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, static_cast<DWORD>(start >> 32),
                             static_cast<DWORD>(start & 0xFFFFFFFFu), kWindowBytes);
  if (view == nullptr) {
    CloseHandle(mapping);
    return false;
  }
  mapping_ = mapping;
#else
  void* view = ::mmap(nullptr, kWindowBytes, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd_,
                      static_cast<off_t>(start));
  if (view == MAP_FAILED) return false;
#endif
  view_ = static_cast<unsigned char*>(view);
  viewStart_ = start;
  return true;
}

// Earlier windows' pages, unmapped since, are modified pages of the file like any written
// data: the file's flush writes them.
bool AppendWindow::Flush() {
  if (file_ == nullptr) return false;
#ifdef _WIN32
  // Starts writing the view's pages; the file's flush then waits for them and the metadata.
  if (view_ != nullptr && !FlushViewOfFile(view_, 0)) return false;
#else
  if (view_ != nullptr && ::msync(view_, kWindowBytes, MS_SYNC) != 0) return false;
#endif
  return file_->Flush();
}

void AppendWindow::Unmap() {
  if (view_ == nullptr) return;
#ifdef _WIN32
  UnmapViewOfFile(view_);
  CloseHandle(static_cast<HANDLE>(mapping_));
  mapping_ = nullptr;
#else
  ::munmap(view_, kWindowBytes);
#endif
  view_ = nullptr;
}

void AppendWindow::Close() {
  Unmap();
  file_ = nullptr;
}

}  // namespace platform
