// A library that does nothing: the test plants it beside a program to see whether the program
// loads it by name.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
