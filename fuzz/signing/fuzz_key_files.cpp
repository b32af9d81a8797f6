// Reads arbitrary bytes as pkgtool reads key files (as a public and as a private key) and as
// the encodings a signature comment carries (base64, the signature's DER form), through the
// system's decoders and the checks around them. No passphrase is given: an encrypted key's
// iteration count is the file's to choose, and would only time the fuzzer out.
#include <cstdint>
#include <string_view>
#include <vector>

#include "signing/key_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // pkgtool reads no larger key file.
  if (size > (1 << 16)) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  signing::PublicKey publicKey;
  signing::PublicKeyFromPem(text, publicKey);
  signing::PrivateKey privateKey;
  signing::PrivateKeyFromPem(text, privateKey);
  platform::P256Point point;
  platform::P256PublicKeyFromDer(data, size, point);
  platform::P256Signature signature;
  if (signing::SignatureFromDer(data, size, signature)) {
    // What decodes must come back as the same bytes: one text per signature.
    const std::vector<std::uint8_t> der = signing::SignatureToDer(signature);
    if (der != std::vector<std::uint8_t>(data, data + size)) __builtin_trap();
  }
  std::vector<std::uint8_t> bytes;
  if (signing::Base64Decode(text, bytes) &&
      signing::Base64Encode(bytes.data(), bytes.size()) != text) {
    __builtin_trap();
  }
  return 0;
}
