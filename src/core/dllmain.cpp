/* Load and unload: DllMain on Windows, the shared object's hooks elsewhere. */
#include "core/state.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) kvx::library_attach(instance);
    else if (reason == DLL_PROCESS_DETACH) kvx::library_detach();
    return TRUE;
}

#else

__attribute__((constructor)) static void kvx_load()
{
    kvx::library_attach(nullptr);
}

__attribute__((destructor)) static void kvx_unload()
{
    kvx::library_detach();
}

#endif
