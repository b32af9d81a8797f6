// Installs arbitrary bytes as an archive into a scratch root through the install
// transaction, and checks that nothing appeared outside it.
#include "fuzz/zip/fuzz_common.h"
#include "update/install_transaction.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!zipfuzz::Prepare(data, size)) return 0;
  const auto& work = zipfuzz::WorkFolder();
  update::InstallPackage(zipfuzz::W(work / "in.zip"), zipfuzz::W(work / "root"));
  zipfuzz::CheckNothingEscaped();
  return 0;
}
