// The floor for a launch: a program that does nothing but start the client through the shell.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  ShellExecuteW(nullptr, L"open", L"Veltmora.exe", commandLine, nullptr, SW_SHOW);
  return 0;
}
