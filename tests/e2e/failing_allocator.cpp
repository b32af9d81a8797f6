// The launcher's own flow (launcher/main.cpp, built into this program with its entry point
// renamed) under an allocator that fails on request, for the tests that every step survives
// running out of memory: nothing outside the process can make one allocation of it fail.
//
// LAUNCHER_FAIL_ALLOCATION=N fails the N-th allocation the flow makes (counting from 1) with
// std::bad_alloc, N+ that one and every later one; anything else fails none. When the flow
// returns, the number of allocations it made is written to the file that
// LAUNCHER_ALLOCATION_COUNT names, so a test knows how many there are.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" int WINAPI LaunchFlowUnderTest(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine,
                                          int show);

namespace {

bool g_counting = false;
unsigned long g_count = 0;
unsigned long g_failAt = 0;  // 0: none
bool g_failLater = false;

// Read without allocating: it runs before the count starts, but the allocator must not
// depend on itself.
void ReadRequest() {
  wchar_t value[32] = {};
  const DWORD length = GetEnvironmentVariableW(L"LAUNCHER_FAIL_ALLOCATION", value, 32);
  if (length == 0 || length >= 32) return;
  unsigned long n = 0;
  const wchar_t* c = value;
  for (; *c >= L'0' && *c <= L'9'; ++c) n = n * 10 + static_cast<unsigned long>(*c - L'0');
  if (*c == L'+') {
    g_failLater = true;
    ++c;
  }
  if (*c == 0) g_failAt = n;
}

}  // namespace

void* operator new(std::size_t size) {
  if (g_counting) {
    ++g_count;
    if (g_failAt != 0 && (g_count == g_failAt || (g_failLater && g_count > g_failAt))) {
      throw std::bad_alloc();
    }
  }
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int show) {
  ReadRequest();
  g_counting = true;
  const int exitCode = LaunchFlowUnderTest(instance, previous, commandLine, show);
  g_counting = false;
  wchar_t countFile[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(L"LAUNCHER_ALLOCATION_COUNT", countFile, MAX_PATH);
  char text[32];
  const int textLength = std::snprintf(text, sizeof text, "%lu", g_count);
  if (length > 0 && length < MAX_PATH && textLength > 0 &&
      static_cast<std::size_t>(textLength) < sizeof text) {
    const HANDLE file =
        CreateFileW(countFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
      WriteFile(file, text, static_cast<DWORD>(textLength), &written, nullptr);
      CloseHandle(file);
    }
  }
  return exitCode;
}
