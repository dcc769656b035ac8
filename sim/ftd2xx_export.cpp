// The simulator as a drop-in for the vendor's driver library: the same seven
// C entry points under the same file name, all served by one simulated
// instrument per process, configured from the environment.
#include "simulator.h"

#if defined(_WIN32)
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#if defined(_WIN32) && !defined(_WIN64)
#define SIM_API __stdcall
#else
#define SIM_API
#endif

static Simulator& sim()
{
    static Simulator instance;   // built on the first call, after main has begun
    return instance;
}

SIM_EXPORT FT_STATUS SIM_API FT_ListDevices(void* a, void* b, DWORD f) { return sim().ListDevices(a, b, f); }
SIM_EXPORT FT_STATUS SIM_API FT_OpenEx(void* a, DWORD f, FT_HANDLE* h) { return sim().OpenEx(a, f, h); }
SIM_EXPORT FT_STATUS SIM_API FT_Write(FT_HANDLE h, void* b, DWORD n, DWORD* w) { return sim().Write(h, b, n, w); }
SIM_EXPORT FT_STATUS SIM_API FT_SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) { return sim().SetTimeouts(h, r, w); }
SIM_EXPORT FT_STATUS SIM_API FT_GetQueueStatus(FT_HANDLE h, DWORD* q) { return sim().GetQueueStatus(h, q); }
SIM_EXPORT FT_STATUS SIM_API FT_Read(FT_HANDLE h, void* b, DWORD n, DWORD* r) { return sim().Read(h, b, n, r); }
SIM_EXPORT FT_STATUS SIM_API FT_Close(FT_HANDLE h) { return sim().Close(h); }
