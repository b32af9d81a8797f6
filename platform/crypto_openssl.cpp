#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/opensslv.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
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
  X(BIO_free)                           \
  X(BIO_new_mem_buf)                    \
  X(BN_bin2bn)                          \
  X(BN_bn2binpad)                       \
  X(BN_clear_free)                      \
  X(BN_free)                            \
  X(BN_is_negative)                     \
  X(BN_is_zero)                         \
  X(BN_num_bits)                        \
  X(BN_secure_new)                      \
  X(CRYPTO_clear_free)                  \
  X(CRYPTO_free)                        \
  X(d2i_ECDSA_SIG)                      \
  X(d2i_X509_PUBKEY)                    \
  X(ECDSA_SIG_free)                     \
  X(ECDSA_SIG_get0)                     \
  X(ECDSA_SIG_new)                      \
  X(ECDSA_SIG_set0)                     \
  X(ERR_clear_error)                    \
  X(ERR_peek_last_error)                \
  X(EVP_DecodeBlock)                    \
  X(EVP_DigestFinal_ex)                 \
  X(EVP_DigestInit_ex)                  \
  X(EVP_DigestUpdate)                   \
  X(EVP_EncodeBlock)                    \
  X(EVP_MD_CTX_free)                    \
  X(EVP_MD_CTX_new)                     \
  X(EVP_PKEY_CTX_free)                  \
  X(EVP_PKEY_CTX_new)                   \
  X(EVP_PKEY_CTX_new_from_name)         \
  X(EVP_PKEY_free)                      \
  X(EVP_PKEY_fromdata)                  \
  X(EVP_PKEY_fromdata_init)             \
  X(EVP_PKEY_get_bn_param)              \
  X(EVP_PKEY_get_octet_string_param)    \
  X(EVP_PKEY_get_utf8_string_param)     \
  X(EVP_PKEY_is_a)                      \
  X(EVP_PKEY_public_check)              \
  X(EVP_PKEY_sign)                      \
  X(EVP_PKEY_sign_init)                 \
  X(EVP_PKEY_verify)                    \
  X(EVP_PKEY_verify_init)               \
  X(EVP_sha256)                         \
  X(i2d_ECDSA_SIG)                      \
  X(OBJ_obj2nid)                        \
  X(OPENSSL_cleanse)                    \
  X(OSSL_PARAM_BLD_free)                \
  X(OSSL_PARAM_BLD_new)                 \
  X(OSSL_PARAM_BLD_push_BN)             \
  X(OSSL_PARAM_BLD_push_octet_string)   \
  X(OSSL_PARAM_BLD_push_utf8_string)    \
  X(OSSL_PARAM_BLD_to_param)            \
  X(OSSL_PARAM_free)                    \
  X(PEM_read_bio)                       \
  X(PEM_read_bio_PrivateKey)            \
  X(X509_ALGOR_get0)                    \
  X(X509_PUBKEY_free)                   \
  X(X509_PUBKEY_get0_param)

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
using Bio = Owned<BIO, &Libcrypto::BIO_free>;
using PublicKeyInfo = Owned<X509_PUBKEY, &Libcrypto::X509_PUBKEY_free>;

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

// What libcrypto allocated for a PEM block; the private key blocks' bytes are wiped.
struct PemBlock {
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long size = 0;
  ~PemBlock() {
    const Libcrypto* lib = Crypto();
    lib->CRYPTO_free(name, OPENSSL_FILE, OPENSSL_LINE);
    lib->CRYPTO_free(header, OPENSSL_FILE, OPENSSL_LINE);
    lib->CRYPTO_clear_free(data, static_cast<std::size_t>(size), OPENSSL_FILE, OPENSSL_LINE);
  }
};

Bio TextBio(const Libcrypto& lib, std::string_view text) {
  if (text.size() > 0x7FFFFFFF) return nullptr;
  return Bio(lib.BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// Calls `each` with every PEM block of `text` in order; kDamaged when one does not decode.
template <typename Each>
KeyRead ForEachPemBlock(const Libcrypto& lib, std::string_view text, Each each) {
  Bio bio = TextBio(lib, text);
  if (!bio) return KeyRead::kUnavailable;
  for (;;) {
    PemBlock block;
    if (lib.PEM_read_bio(bio.get(), &block.name, &block.header, &block.data, &block.size) != 1) {
      // The reader's way of saying that no block is left.
      const bool end = ERR_GET_REASON(lib.ERR_peek_last_error()) == PEM_R_NO_START_LINE;
      lib.ERR_clear_error();
      return end ? KeyRead::kOk : KeyRead::kDamaged;
    }
    each(block);
  }
}

// The P-256 point that a key holds, when it is an EC key on that curve in uncompressed form.
KeyRead P256PointOf(const Libcrypto& lib, const EVP_PKEY* key, P256Point& point) {
  char group[32] = {};
  std::size_t length = 0;
  if (lib.EVP_PKEY_is_a(key, "EC") != 1 ||
      lib.EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                         &length) != 1 ||
      std::strcmp(group, "prime256v1") != 0) {
    return KeyRead::kOtherKind;
  }
  // The point as the key file gave it: 33 bytes for a compressed one.
  if (lib.EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                          &length) != 1) {
    return KeyRead::kNoPublicPart;
  }
  return length == point.size() && point[0] == 0x04 ? KeyRead::kOk : KeyRead::kOtherKind;
}

int PassphraseCallback(char* buffer, int size, int, void* passphrase) {
  if (!passphrase || size <= 0) return -1;  // never a prompt on the terminal
  const std::size_t length = std::strlen(static_cast<const char*>(passphrase));
  if (length > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, passphrase, length);
  return static_cast<int>(length);
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

const bool kDecryptsKeyFiles = true;

KeyRead P256PublicKeyFromDer(const std::uint8_t* der, std::size_t size, P256Point& point) {
  const Libcrypto* lib = Crypto();
  if (!lib) return KeyRead::kUnavailable;
  if (size > 0xFFFF) return KeyRead::kDamaged;
  // The structure first, the point after: libcrypto names the curve, and building the key
  // from the point is what tells a point off the curve from a damaged file.
  const unsigned char* cursor = der;
  PublicKeyInfo info(lib->d2i_X509_PUBKEY(nullptr, &cursor, static_cast<long>(size)));
  lib->ERR_clear_error();
  if (!info || cursor != der + size) return KeyRead::kDamaged;
  ASN1_OBJECT* algorithm = nullptr;
  const unsigned char* bits = nullptr;
  int bitsLength = 0;
  X509_ALGOR* identifier = nullptr;
  if (lib->X509_PUBKEY_get0_param(&algorithm, &bits, &bitsLength, &identifier, info.get()) != 1) {
    return KeyRead::kDamaged;
  }
  int parameterType = 0;
  const void* parameter = nullptr;
  lib->X509_ALGOR_get0(nullptr, &parameterType, &parameter, identifier);
  if (lib->OBJ_obj2nid(algorithm) != NID_X9_62_id_ecPublicKey || parameterType != V_ASN1_OBJECT ||
      lib->OBJ_obj2nid(static_cast<const ASN1_OBJECT*>(parameter)) != NID_X9_62_prime256v1 ||
      bitsLength != static_cast<int>(point.size()) || bits[0] != 0x04) {
    return KeyRead::kOtherKind;
  }
  std::memcpy(point.data(), bits, point.size());
  const Pkey key = MakeKey(*lib, point, nullptr);
  lib->ERR_clear_error();
  if (!key) return KeyRead::kOffCurve;
  PkeyContext context(lib->EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!context) return KeyRead::kUnavailable;
  const bool valid = lib->EVP_PKEY_public_check(context.get()) == 1;
  lib->ERR_clear_error();
  return valid ? KeyRead::kOk : KeyRead::kOffCurve;
}

KeyRead P256PublicKeyFromPem(std::string_view pem, P256Point& point) {
  const Libcrypto* lib = Crypto();
  if (!lib) return KeyRead::kUnavailable;
  std::vector<std::uint8_t> der;
  int found = 0;
  const KeyRead blocks = ForEachPemBlock(*lib, pem, [&](const PemBlock& block) {
    if (std::strcmp(block.name, "PUBLIC KEY") != 0) return;
    ++found;
    der.assign(block.data, block.data + block.size);
  });
  if (blocks != KeyRead::kOk) return blocks;
  if (found != 1) return found == 0 ? KeyRead::kNoKey : KeyRead::kSeveral;
  return P256PublicKeyFromDer(der.data(), der.size(), point);
}

KeyRead P256PrivateKeyFromPem(std::string_view pem, const char* passphrase, P256Scalar& scalar,
                              P256Point& point) {
  scalar.fill(0);
  const Libcrypto* lib = Crypto();
  if (!lib) return KeyRead::kUnavailable;
  int found = 0;
  bool encrypted = false;
  bool known = false;
  const KeyRead blocks = ForEachPemBlock(*lib, pem, [&](const PemBlock& block) {
    const std::string_view name = block.name;
    constexpr std::string_view kSuffix = "PRIVATE KEY";
    if (name.size() < kSuffix.size() || name.substr(name.size() - kSuffix.size()) != kSuffix) {
      return;
    }
    ++found;
    encrypted = name == "ENCRYPTED PRIVATE KEY" || std::strstr(block.header, "ENCRYPTED");
    known = encrypted || name == "PRIVATE KEY" || name == "EC PRIVATE KEY";
  });
  if (blocks != KeyRead::kOk) return blocks;
  if (found != 1) return found == 0 ? KeyRead::kNoKey : KeyRead::kSeveral;
  if (encrypted && !passphrase) return KeyRead::kEncrypted;
  Bio bio = TextBio(*lib, pem);
  if (!bio) return KeyRead::kUnavailable;
  const Pkey key(lib->PEM_read_bio_PrivateKey(bio.get(), nullptr, PassphraseCallback,
                                              const_cast<char*>(passphrase)));
  lib->ERR_clear_error();
  if (!key) {
    if (encrypted) return KeyRead::kWrongPassphrase;
    return known ? KeyRead::kDamaged : KeyRead::kOtherKind;
  }
  const KeyRead kind = P256PointOf(*lib, key.get(), point);
  if (kind != KeyRead::kOk) return kind;
  BIGNUM* secret = nullptr;
  if (lib->EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &secret) != 1) {
    return KeyRead::kDamaged;
  }
  const Bignum owned(secret);
  if (lib->BN_bn2binpad(secret, scalar.data(), static_cast<int>(scalar.size())) !=
      static_cast<int>(scalar.size())) {
    scalar.fill(0);
    return KeyRead::kDamaged;
  }
  return KeyRead::kOk;
}

bool EcdsaSignatureFromDer(const std::uint8_t* der, std::size_t size, P256Signature& out) {
  const Libcrypto* lib = Crypto();
  if (!lib || size > 0xFFFF) return false;
  const unsigned char* cursor = der;
  EcdsaSig sig(lib->d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(size)));
  lib->ERR_clear_error();
  if (!sig || cursor != der + size) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  lib->ECDSA_SIG_get0(sig.get(), &r, &s);
  for (const BIGNUM* value : {r, s}) {
    if (lib->BN_is_negative(value) || lib->BN_is_zero(value) ||
        lib->BN_num_bits(value) > 8 * kCoordinateSize) {
      return false;
    }
  }
  // The decoder takes some BER; only the DER form it writes back is one text per value.
  unsigned char* written = nullptr;
  const int writtenLength = lib->i2d_ECDSA_SIG(sig.get(), &written);
  const bool same = writtenLength >= 0 && static_cast<std::size_t>(writtenLength) == size &&
                    std::memcmp(written, der, size) == 0;
  lib->CRYPTO_free(written, OPENSSL_FILE, OPENSSL_LINE);
  return same && lib->BN_bn2binpad(r, out.data(), kCoordinateSize) == kCoordinateSize &&
         lib->BN_bn2binpad(s, out.data() + kCoordinateSize, kCoordinateSize) == kCoordinateSize;
}

std::vector<std::uint8_t> EcdsaSignatureToDer(const P256Signature& signature) {
  const Libcrypto* lib = Crypto();
  if (!lib) return {};
  EcdsaSig sig(lib->ECDSA_SIG_new());
  BIGNUM* r = lib->BN_bin2bn(signature.data(), kCoordinateSize, nullptr);
  BIGNUM* s = lib->BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr);
  if (!sig || !r || !s || !lib->ECDSA_SIG_set0(sig.get(), r, s)) {
    lib->BN_free(r);
    lib->BN_free(s);
    return {};
  }
  unsigned char* written = nullptr;
  const int length = lib->i2d_ECDSA_SIG(sig.get(), &written);
  if (length <= 0) return {};
  std::vector<std::uint8_t> der(written, written + length);
  lib->CRYPTO_free(written, OPENSSL_FILE, OPENSSL_LINE);
  return der;
}

std::string Base64Encode(const std::uint8_t* data, std::size_t size) {
  const Libcrypto* lib = Crypto();
  if (!lib || size > 0x3FFFFFFF) return {};
  std::string text((size + 2) / 3 * 4 + 1, '\0');
  const int length = lib->EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data,
                                          static_cast<int>(size));
  text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return text;
}

bool Base64Decode(std::string_view text, std::vector<std::uint8_t>& out) {
  out.clear();
  const Libcrypto* lib = Crypto();
  if (!lib || text.size() % 4 != 0 || text.size() > 0x7FFFFFFF) return false;
  if (text.empty()) return true;
  out.resize(text.size() / 4 * 3);
  const int length =
      lib->EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                           static_cast<int>(text.size()));
  // The decoder counts the padding as zero bytes, and skips blanks at either end.
  const std::size_t padding = text.size() - 1 - text.find_last_not_of('=');
  if (length != static_cast<int>(out.size()) || padding > 2) return false;
  out.resize(out.size() - padding);
  return Base64Encode(out.data(), out.size()) == text;
}

void WipeBytes(void* data, std::size_t size) {
  if (const Libcrypto* lib = Crypto()) {
    lib->OPENSSL_cleanse(data, size);
    return;
  }
  volatile auto* p = static_cast<volatile std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace platform
