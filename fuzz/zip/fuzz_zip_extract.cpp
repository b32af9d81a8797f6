// Installs arbitrary bytes as an archive into a scratch root, and checks that nothing
// appeared outside it.
#include "fuzz/zip/fuzz_common.h"
#include "zip/install_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!zipfuzz::Prepare(data, size)) return 0;
  const auto& work = zipfuzz::WorkFolder();
  zip::InstallArchive(zipfuzz::W(work / "in.zip"), zipfuzz::W(work / "root"), nullptr);
  zipfuzz::CheckNothingEscaped();
  return 0;
}
