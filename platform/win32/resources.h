// One small owner per Win32 resource kind. Each releases its resource exactly once, on
// destruction or reset; none can be copied, all can be moved.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shtypes.h>

#include <utility>

namespace platform::win32 {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() = default;
  explicit UniqueResource(Type value) : value_(value) {}
  ~UniqueResource() { reset(); }
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  bool valid() const { return Traits::IsValid(value_); }
  explicit operator bool() const { return valid(); }
  Type get() const { return value_; }
  // For out-parameters: releases the current value and hands out the slot.
  Type* receive() {
    reset();
    return &value_;
  }
  Type release() { return std::exchange(value_, Traits::Invalid()); }
  void reset(Type value = Traits::Invalid()) {
    if (Traits::IsValid(value_)) Traits::Close(value_);
    value_ = value;
  }

 private:
  Type value_ = Traits::Invalid();
};

struct HandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HandleTraits>;

struct RegKeyTraits {
  using Type = HKEY;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type k) { return k != nullptr; }
  static void Close(Type k) { RegCloseKey(k); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Type h) { FindClose(h); }
};
using UniqueFindHandle = UniqueResource<FindHandleTraits>;

struct LocalMemTraits {
  using Type = HLOCAL;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type m) { return m != nullptr; }
  static void Close(Type m) { LocalFree(m); }
};
using UniqueLocalMem = UniqueResource<LocalMemTraits>;

// A shell item list the shell allocated for the caller (SHGetFolderLocation and kin).
struct ItemIdListTraits {
  using Type = LPITEMIDLIST;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type p) { return p != nullptr; }
  static void Close(Type p) { CoTaskMemFree(p); }
};
using UniqueItemIdList = UniqueResource<ItemIdListTraits>;

// A window, destroyed on the thread that made it (the owner must live and die there).
struct WindowTraits {
  using Type = HWND;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type w) { return w != nullptr; }
  static void Close(Type w) { DestroyWindow(w); }
};
using UniqueWindow = UniqueResource<WindowTraits>;

// An icon made for the caller (LoadImageW from a file, ExtractIconExW), never a shared one.
struct IconTraits {
  using Type = HICON;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type i) { return i != nullptr; }
  static void Close(Type i) { DestroyIcon(i); }
};
using UniqueIcon = UniqueResource<IconTraits>;

// A font, brush or other GDI object, not selected into any device context when it goes.
struct GdiObjectTraits {
  using Type = HGDIOBJ;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type o) { return o != nullptr; }
  static void Close(Type o) { DeleteObject(o); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

// Owns one reference to a COM interface.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  T** receive() {
    reset();
    return &ptr_;
  }
  void** receiveVoid() { return reinterpret_cast<void**>(receive()); }
  void reset() {
    if (ptr_ != nullptr) std::exchange(ptr_, nullptr)->Release();
  }
  template <typename U>
  HRESULT As(ComPtr<U>& other) const {
    return ptr_ == nullptr ? E_POINTER : ptr_->QueryInterface(__uuidof(U), other.receiveVoid());
  }

 private:
  T* ptr_ = nullptr;
};

// Holds COM initialised on this thread for its lifetime, when initialisation succeeded.
class ScopedCoInitialize {
 public:
  ScopedCoInitialize() : hr_(CoInitialize(nullptr)) {}
  ~ScopedCoInitialize() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ScopedCoInitialize(const ScopedCoInitialize&) = delete;
  ScopedCoInitialize& operator=(const ScopedCoInitialize&) = delete;
  bool succeeded() const { return SUCCEEDED(hr_); }
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace platform::win32
