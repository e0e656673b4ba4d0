// Events, waits, threads, critical sections, sleeping, tick counts and
// interlocked operations.
#pragma once

#include "platform/win_types.h"

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

// A critical section is a recursive mutex owned by the platform. The record
// only points at it; InitializeCriticalSection* creates it and
// DeleteCriticalSection frees it.
typedef struct _CRITICAL_SECTION {
    void* Impl;
    DWORD SpinCount;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x4u

extern "C" {
// Creates an unnamed event (lpName must be null or empty; named events are not
// supported: ERROR_NOT_SUPPORTED). Returns its handle, or null with the last
// error set. Thread-safe.
PLATFORM_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                 BOOL bInitialState, LPCWSTR lpName);
// Signal / clear an event. FALSE with ERROR_INVALID_HANDLE for a handle that
// is not an event. Thread-safe.
PLATFORM_API BOOL SetEvent(HANDLE hEvent);
PLATFORM_API BOOL ResetEvent(HANDLE hEvent);

// Waits until the object is signalled or dwMilliseconds pass (INFINITE: no
// limit). Works on events and threads. Returns WAIT_OBJECT_0, WAIT_TIMEOUT,
// or WAIT_FAILED with the last error set. An auto-reset event is cleared by
// the wait that consumes it. Thread-safe.
PLATFORM_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Waits for any (bWaitAll FALSE: returns WAIT_OBJECT_0 + index of the first
// signalled) or all of nCount objects (at most 64).
PLATFORM_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                          DWORD dwMilliseconds);

// Threads. The handle is waitable: it becomes signalled when the thread's
// routine has returned. Thread ids are the kernel's thread ids (32 bits).
PLATFORM_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                 LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                 DWORD dwCreationFlags, LPDWORD lpThreadId);
// The C runtime's thread start: returns the handle as an integer, 0 on
// failure (errno and the last error set).
PLATFORM_API uintptr_t _beginthreadex(void* security, unsigned stack_size,
                                      unsigned (*start_address)(void*), void* arglist,
                                      unsigned initflag, unsigned* thrdaddr);
PLATFORM_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
PLATFORM_API DWORD GetCurrentThreadId();
PLATFORM_API DWORD GetCurrentProcessId();

// Sleeping and time.
PLATFORM_API void Sleep(DWORD dwMilliseconds);
PLATFORM_API DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
// Milliseconds since an arbitrary start (monotonic), wrapping at 2^32.
PLATFORM_API DWORD GetTickCount();

// Critical sections (recursive; the spin count is stored and honoured as a
// bounded try-lock spin before blocking).
PLATFORM_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PLATFORM_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                        DWORD dwSpinCount);
PLATFORM_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PLATFORM_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
PLATFORM_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
}
