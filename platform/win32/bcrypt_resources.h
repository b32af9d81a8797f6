// Owners of CNG handles (bcrypt.h), in the manner of resources.h. Apart from it so that only
// the code that hashes and checks signatures sees the CNG headers.
#pragma once

#include <windows.h>
#include <bcrypt.h>

#include "platform/win32/resources.h"

namespace platform::win32 {

struct BcryptAlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using UniqueBcryptAlgorithm = UniqueResource<BcryptAlgorithmTraits>;

struct BcryptHashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { BCryptDestroyHash(h); }
};
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;

struct BcryptKeyTraits {
  using Type = BCRYPT_KEY_HANDLE;
  static Type Invalid() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { BCryptDestroyKey(h); }
};
using UniqueBcryptKey = UniqueResource<BcryptKeyTraits>;

}  // namespace platform::win32
