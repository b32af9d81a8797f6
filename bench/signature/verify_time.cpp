// Times what the launcher does before it installs a package when it carries a key: open the
// staged package, find its signature, hash it and verify the signature. Several rounds in one
// process, so that neither process start nor Wine's start is counted; the file is read
// through the system's cache after the first round. Each round also times two floors: reading
// the file alone in the same 1 MiB pieces, and hashing 1 MiB pieces of memory alone.
// Usage: verify_time PUBLIC.pem ARCHIVE [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/text.h"
#include "signing/key_files.h"
#include "signing/package_signature.h"

namespace {

platform::WString Wide(const char* utf8) {
  platform::WString wide;
  platform::Utf8ToUtf16(utf8, wide);
  return wide;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: verify_time PUBLIC.pem ARCHIVE [ROUNDS]\n");
    return 2;
  }
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  platform::File keyFile = platform::File::OpenForRead(Wide(argv[1]));
  std::uint64_t keySize = 0;
  if (!keyFile || !keyFile.Size(keySize) || keySize > 65536) return 2;
  std::string pem(static_cast<std::size_t>(keySize), '\0');
  keyFile.ReadAt(0, pem.data(), pem.size());
  signing::PublicKey key;
  if (signing::PublicKeyFromPem(pem, key) != signing::KeyFileResult::kOk) return 2;

  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<zip::ZipSource> source = zip::ZipSource::Open(Wide(argv[2]));
    if (!source) return 2;
    const signing::SignatureState state = signing::VerifyPackage(*source, key);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;

    const auto readStart = std::chrono::steady_clock::now();
    std::vector<unsigned char> piece(1 << 20);
    for (std::uint64_t at = 0; at < source->size(); at += piece.size()) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), source->size() - at));
      if (!source->ReadAt(at, piece.data(), n, zip::ZipSource::kDataWindow)) return 2;
    }
    const std::chrono::duration<double, std::milli> read =
        std::chrono::steady_clock::now() - readStart;

    const auto hashStart = std::chrono::steady_clock::now();
    platform::Sha256 hash;
    for (std::uint64_t at = 0; at < source->size(); at += piece.size()) {
      hash.Update(piece.data(), piece.size());
    }
    platform::Sha256Digest digest;
    hash.Finish(digest);
    const std::chrono::duration<double, std::milli> hashed =
        std::chrono::steady_clock::now() - hashStart;

    std::printf("round %d: verify %.0f ms (%s); read alone %.0f ms; hash alone %.0f ms\n", round,
                took.count(), signing::DescribeSignatureState(state), read.count(), hashed.count());
  }
  return 0;
}
