// Loading and unloading run only the runtime's own start-up and clean-up.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
