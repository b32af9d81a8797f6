#include <cstdio>
#include <vector>

#include "platform/text.h"
#include "tools/pkgtool/pkgtool.h"

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<platform::WString> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return pkgtool::Run(args, stdout, stderr);
}
#else
int main(int argc, char** argv) {
  std::vector<platform::WString> args;
  for (int i = 1; i < argc; ++i) {
    platform::WString arg;
    if (!platform::Utf8ToUtf16(argv[i], arg)) {
      std::fprintf(stderr, "pkgtool: argument %d is not UTF-8\n", i);
      return 2;
    }
    args.push_back(std::move(arg));
  }
  return pkgtool::Run(args, stdout, stderr);
}
#endif
