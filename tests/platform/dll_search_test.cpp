// The launcher's first call, taken by a program of its own (the search order is the whole
// process's): afterwards a library planted beside the program or in its working directory no
// longer loads, and the system's libraries still do.
#include "platform/win32/dll_search.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring OwnFolder() {
  wchar_t module[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
  const std::wstring path(module, length);
  return path.substr(0, path.find_last_of(L'\\'));
}

// Loads `name` the way a library is loaded by name, and unloads it again. True when it loaded.
bool Loads(const wchar_t* name) {
  HMODULE module = LoadLibraryW(name);
  if (module == nullptr) return false;
  FreeLibrary(module);
  return true;
}

TEST(DllSearchTest, LibrariesPlantedBesideTheProgramOrInTheWorkingDirectoryNoLongerLoad) {
  // The built library lies beside this program; a copy under another name in a scratch
  // working directory.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring workingDirectory =
      std::wstring(temp) + L"dll-search-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(workingDirectory.c_str(), nullptr));
  const std::wstring inWorkingDirectory = workingDirectory + L"\\planted_in_cwd.dll";
  ASSERT_TRUE(
      CopyFileW((OwnFolder() + L"\\planted.dll").c_str(), inWorkingDirectory.c_str(), FALSE));
  ASSERT_TRUE(SetCurrentDirectoryW(workingDirectory.c_str()));

  // Controls: without the call both load, so the test can see a load.
  EXPECT_TRUE(Loads(L"planted.dll"));
  EXPECT_TRUE(Loads(L"planted_in_cwd.dll"));
  // Still loaded, a later load by name would find them whatever the search order.
  ASSERT_EQ(GetModuleHandleW(L"planted.dll"), nullptr);
  ASSERT_EQ(GetModuleHandleW(L"planted_in_cwd.dll"), nullptr);

  EXPECT_TRUE(platform::win32::SearchDllsInSystemFolderOnly());
  EXPECT_FALSE(Loads(L"planted.dll")) << "loaded from the program's folder";
  EXPECT_FALSE(Loads(L"planted_in_cwd.dll")) << "loaded from the working directory";
  // Near miss: a system library, loaded by name as the launcher's delay-loaded ones are.
  ASSERT_EQ(GetModuleHandleW(L"version.dll"), nullptr);
  EXPECT_TRUE(Loads(L"version.dll"));

  SetCurrentDirectoryW(OwnFolder().c_str());
  DeleteFileW(inWorkingDirectory.c_str());
  RemoveDirectoryW(workingDirectory.c_str());
}

}  // namespace
