// Reads the public key file named by its argument as pkgtool verify does, and prints what
// became of it: a program of its own, since pkgtool also loads libcrypto through libzip at
// start, so a planted libcrypto could never be the one the first hash opens.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "signing/key_files.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  const std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  signing::PublicKey key;
  const signing::KeyFileResult result = signing::PublicKeyFromPem(pem, key);
  std::printf(
      "%s: %s\n", argv[1],
      result == signing::KeyFileResult::kOk ? "read" : signing::DescribeKeyFileResult(result));
  return result == signing::KeyFileResult::kOk ? 0 : 1;
}
