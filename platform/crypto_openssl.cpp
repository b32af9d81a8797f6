#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <new>

#include "platform/crypto.h"

namespace platform {
namespace {

// One owner per libcrypto object kind.
template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Free>>;

void FreeBignum(BIGNUM* b) { BN_clear_free(b); }
using MdContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using PkeyContext = Owned<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Pkey = Owned<EVP_PKEY, EVP_PKEY_free>;
using ParamBuilder = Owned<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Owned<OSSL_PARAM, OSSL_PARAM_free>;
using Bignum = Owned<BIGNUM, FreeBignum>;
using EcdsaSig = Owned<ECDSA_SIG, ECDSA_SIG_free>;

constexpr int kCoordinateSize = 32;

// A P-256 key from its point, and with `scalar` the private key as well. Null when the point
// is not on the curve or libcrypto refused.
Pkey MakeKey(const P256Point& point, const P256Scalar* scalar) {
  ParamBuilder builder(OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  Bignum secret;
  if (scalar) {
    secret.reset(BN_secure_new());
    if (!secret || !BN_bin2bn(scalar->data(), static_cast<int>(scalar->size()), secret.get()) ||
        !OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, secret.get())) {
      return nullptr;
    }
  }
  if (!OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1",
                                       0) ||
      !OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                        point.size())) {
    return nullptr;
  }
  Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!params || !context || EVP_PKEY_fromdata_init(context.get()) <= 0) return nullptr;
  EVP_PKEY* key = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &key, scalar ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY,
                        params.get()) <= 0) {
    return nullptr;
  }
  return Pkey(key);
}

}  // namespace

struct Sha256::State {
  MdContext context;
};

Sha256::Sha256() : state_(new (std::nothrow) State) {
  failed_ = !state_;
  if (failed_) return;
  state_->context.reset(EVP_MD_CTX_new());
  failed_ =
      !state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) != 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  if (!failed_ && length > 0) {
    failed_ = EVP_DigestUpdate(state_->context.get(), data, length) != 1;
  }
}

bool Sha256::Finish(Sha256Digest& digest) {
  if (failed_) return false;
  failed_ = true;
  unsigned int written = 0;
  return EVP_DigestFinal_ex(state_->context.get(), digest.data(), &written) == 1 &&
         written == digest.size();
}

SignatureCheck VerifyP256(const P256Point& key, const Sha256Digest& digest,
                          const P256Signature& signature) {
  if (key[0] != 0x04) return SignatureCheck::kInvalid;
  const Pkey pkey = MakeKey(key, nullptr);
  if (!pkey) return SignatureCheck::kInvalid;
  // libcrypto takes the signature in its DER form.
  EcdsaSig sig(ECDSA_SIG_new());
  if (!sig) return SignatureCheck::kUnavailable;
  BIGNUM* r = BN_bin2bn(signature.data(), kCoordinateSize, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + kCoordinateSize, kCoordinateSize, nullptr);
  if (!r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
    BN_free(r);
    BN_free(s);
    return SignatureCheck::kUnavailable;
  }
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
  if (derLength <= 0) return SignatureCheck::kUnavailable;
  const std::unique_ptr<unsigned char, void (*)(unsigned char*)> ownedDer(
      der, [](unsigned char* p) { OPENSSL_free(p); });
  PkeyContext context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) <= 0) return SignatureCheck::kUnavailable;
  // 1 valid, 0 not; below 0 also for a signature libcrypto cannot take (r or s zero, say).
  return EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(derLength), digest.data(),
                         digest.size()) == 1
             ? SignatureCheck::kValid
             : SignatureCheck::kInvalid;
}

bool SignP256(const P256Scalar& scalar, const P256Point& key, const Sha256Digest& digest,
              P256Signature& signature) {
  if (key[0] != 0x04) return false;
  const Pkey pkey = MakeKey(key, &scalar);
  if (!pkey) return false;
  PkeyContext context(EVP_PKEY_CTX_new(pkey.get(), nullptr));
  if (!context || EVP_PKEY_sign_init(context.get()) <= 0) return false;
  unsigned char der[80];  // a P-256 signature's DER form takes at most 72 bytes
  std::size_t derLength = sizeof der;
  if (EVP_PKEY_sign(context.get(), der, &derLength, digest.data(), digest.size()) <= 0) {
    return false;
  }
  const unsigned char* cursor = der;
  EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derLength)));
  if (!sig) return false;
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  ECDSA_SIG_get0(sig.get(), &r, &s);
  return BN_bn2binpad(r, signature.data(), kCoordinateSize) == kCoordinateSize &&
         BN_bn2binpad(s, signature.data() + kCoordinateSize, kCoordinateSize) == kCoordinateSize;
}

}  // namespace platform
