#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/param_build.h>

#include <memory>
#include <new>
#include <optional>

#include "platform/crypto.h"

namespace platform {
namespace {

// libcrypto is opened at the first hash or signature check rather than linked: most runs of
// the tools check none, and mapping the library costs each run over a megabyte. Each entry
// takes its type from the header's prototype, so a mismatch does not compile.
#define LAUNCHER_LIBCRYPTO_FUNCTIONS(X) \
  X(BN_bin2bn)                          \
  X(BN_bn2binpad)                       \
  X(BN_clear_free)                      \
  X(BN_free)                            \
  X(BN_secure_new)                      \
  X(CRYPTO_free)                        \
  X(d2i_ECDSA_SIG)                      \
  X(ECDSA_SIG_free)                     \
  X(ECDSA_SIG_get0)                     \
  X(ECDSA_SIG_new)                      \
  X(ECDSA_SIG_set0)                     \
  X(EVP_DigestFinal_ex)                 \
  X(EVP_DigestInit_ex)                  \
  X(EVP_DigestUpdate)                   \
  X(EVP_MD_CTX_free)                    \
  X(EVP_MD_CTX_new)                     \
  X(EVP_PKEY_CTX_free)                  \
  X(EVP_PKEY_CTX_new)                   \
  X(EVP_PKEY_CTX_new_from_name)         \
  X(EVP_PKEY_free)                      \
  X(EVP_PKEY_fromdata)                  \
  X(EVP_PKEY_fromdata_init)             \
  X(EVP_PKEY_sign)                      \
  X(EVP_PKEY_sign_init)                 \
  X(EVP_PKEY_verify)                    \
  X(EVP_PKEY_verify_init)               \
  X(EVP_sha256)                         \
  X(i2d_ECDSA_SIG)                      \
  X(OSSL_PARAM_BLD_free)                \
  X(OSSL_PARAM_BLD_new)                 \
  X(OSSL_PARAM_BLD_push_BN)             \
  X(OSSL_PARAM_BLD_push_octet_string)   \
  X(OSSL_PARAM_BLD_push_utf8_string)    \
  X(OSSL_PARAM_BLD_to_param)            \
  X(OSSL_PARAM_free)

struct Libcrypto {
#define LAUNCHER_FIELD(name) decltype(&::name) name = nullptr;
  LAUNCHER_LIBCRYPTO_FUNCTIONS(LAUNCHER_FIELD)
#undef LAUNCHER_FIELD
};

std::optional<Libcrypto> Load() {
  // The prototypes above hold for this ABI alone.
  static_assert(OPENSSL_SHLIB_VERSION == 3, "libcrypto's soname below names another ABI");
  void* library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
  if (!library) return std::nullopt;
  Libcrypto lib;
  bool complete = true;
#define LAUNCHER_RESOLVE(name)                                            \
  lib.name = reinterpret_cast<decltype(lib.name)>(dlsym(library, #name)); \
  complete = complete && lib.name;
  LAUNCHER_LIBCRYPTO_FUNCTIONS(LAUNCHER_RESOLVE)
#undef LAUNCHER_RESOLVE
  if (complete) return lib;
  dlclose(library);
  return std::nullopt;
}

// libcrypto's functions, or null when the library or one of them could not be had. Looked up
// at the first call only; the library then stays for the rest of the run.
const Libcrypto* Crypto() {
  static const std::optional<Libcrypto> loaded = Load();
  return loaded ? &*loaded : nullptr;
}

// One owner per libcrypto object kind. An object exists only once the library has loaded.
template <typename T, auto Free>
struct Deleter {
  void operator()(T* p) const { (Crypto()->*Free)(p); }
};
template <typename T, auto Free>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

using MdContext = Owned<EVP_MD_CTX, &Libcrypto::EVP_MD_CTX_free>;
using PkeyContext = Owned<EVP_PKEY_CTX, &Libcrypto::EVP_PKEY_CTX_free>;
using Pkey = Owned<EVP_PKEY, &Libcrypto::EVP_PKEY_free>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, &Libcrypto::OSSL_PARAM_BLD_free>;
using Params = Owned<OSSL_PARAM, &Libcrypto::OSSL_PARAM_free>;
using Bignum = Owned<BIGNUM, &Libcrypto::BN_clear_free>;
using EcdsaSig = Owned<ECDSA_SIG, &Libcrypto::ECDSA_SIG_free>;

constexpr int kCoordinateSize = 32;

// A P-256 key from its point, and with `scalar` the private key as well. Null when the point
// is not on the curve or libcrypto refused.
Pkey MakeKey(const Libcrypto& lib, const P256Point& point, const P256Scalar* scalar) {
  ParamBuilder builder(lib.OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  Bignum secret;
  if (scalar) {
    secret.reset(lib.BN_secure_new());
    if (!secret || !lib.BN_bin2bn(scalar->data(), static_cast<int>(scalar->size()), secret.get()) ||
        !lib.OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, secret.get())) {
      return nullptr;
    }
  }
  if (!lib.OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                           0) ||
      !lib.OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                            point.size())) {
    return nullptr;
  }
  Params params(lib.OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyContext context(lib.EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !context || lib.EVP_PKEY_fromdata_init(context.get()) <= 0) return nullptr;
  EVP_PKEY* key = nullptr;
  if (lib.EVP_PKEY_fromdata(context.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                            params.get()) <= 0) {
    return nullptr;
  }
  return Pkey(key);
}

}  // namespace

struct Sha256::State {
  const Libcrypto* lib;
  MdContext context;
};

Sha256::Sha256() : state_(new (std::nothrow) State{Crypto(), nullptr}) {
  failed_ = !state_ || !state_->lib;
  if (failed_) return;
  const Libcrypto* lib = state_->lib;
  state_->context.reset(lib->EVP_MD_CTX_new());
  failed_ = !state_->context ||
            lib->EVP_DigestInit_ex(state_->context.get(), lib->EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  if (!failed_ && length > 0) {
    failed_ = state_->lib->EVP_DigestUpdate(state_->context.get(), data, length) != 1;
  }
}

bool Sha256::Finish(Sha256Digest& digest) {
  if (failed_) return false;
  failed_ = true;
  unsigned int written = 0;
  return state_->lib->EVP_DigestFinal_ex(state_->context.get(), digest.data(), &written) == 1 &&
         written == digest.size();
}

SignatureCheck VerifyP256(const P256Point& key, const Sha256Digest& digest,
                          const P256Signature& signature) {
  if (key[0] != 0x04) return SignatureCheck::kInvalid;
  const Libcrypto* lib = Crypto();
  if (!lib) return SignatureCheck::kUnavailable;
  const Pkey pkey = MakeKey(*lib, key, nullptr);
  if (!pkey) return SignatureCheck::kInvalid;
  // libcrypto takes the signature in its DER form.
  EcdsaSig sig(lib->ECDSA_SIG_new());
  if (!sig) return SignatureCheck::kUnavailable;
  BIGNUM* r = lib->BN_bin2bn(signature.data(), kCoordinateSize, nullptr);
  BIGNUM* s = lib->BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr);
  if (!r || !s || !lib->ECDSA_SIG_set0(sig.get(), r, s)) {
    lib->BN_free(r);
    lib->BN_free(s);
    return SignatureCheck::kUnavailable;
  }
  unsigned char* der = nullptr;
  const int derLength = lib->i2d_ECDSA_SIG(sig.get(), &der);
  if (derLength <= 0) return SignatureCheck::kUnavailable;
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> ownedDer(
      der, [](unsigned char* p) { Crypto()->CRYPTO_free(p, OPENSSL_FILE, OPENSSL_LINE); });
  PkeyContext context(lib->EVP_PKEY_CTX_new(pkey.get(), nullptr));
  if (!context || lib->EVP_PKEY_verify_init(context.get()) <= 0) {
    return SignatureCheck::kUnavailable;
  }
  // 1 valid, 0 not; below 0 also for a signature libcrypto cannot take (r or s zero, say).
  return lib->EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(derLength),
                              digest.data(), digest.size()) == 1
             ? SignatureCheck::kValid
             : SignatureCheck::kInvalid;
}

bool SignP256(const P256Scalar& scalar, const P256Point& key, const Sha256Digest& digest,
              P256Signature& signature) {
  if (key[0] != 0x04) return false;
  const Libcrypto* lib = Crypto();
  if (!lib) return false;
  const Pkey pkey = MakeKey(*lib, key, &scalar);
  if (!pkey) return false;
  PkeyContext context(lib->EVP_PKEY_CTX_new(pkey.get(), nullptr));
  if (!context || lib->EVP_PKEY_sign_init(context.get()) <= 0) return false;
  unsigned char der[80];  // a P-256 signature's DER form takes at most 72 bytes
  std::size_t derLength = sizeof der;
  if (lib->EVP_PKEY_sign(context.get(), der, &derLength, digest.data(), digest.size()) <= 0) {
    return false;
  }
  const unsigned char* cursor = der;
  EcdsaSig sig(lib->d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  if (!sig) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  lib->ECDSA_SIG_get0(sig.get(), &r, &s);
  return lib->BN_bn2binpad(r, signature.data(), kCoordinateSize) == kCoordinateSize &&
         lib->BN_bn2binpad(s, signature.data() + kCoordinateSize, kCoordinateSize) ==
             kCoordinateSize;
}

}  // namespace platform
