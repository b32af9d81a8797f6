// A library that does nothing: the DLL search test plants it beside the test program.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
