// Export macro of corelib. On Windows corelib is corelib.dll; natively it is a
// static library linked into the tests and tools.
#pragma once

#if defined(_WIN32) && defined(CORELIB_SHARED)
#if defined(CORELIB_BUILDING)
#define CORELIB_API __declspec(dllexport)
#else
#define CORELIB_API __declspec(dllimport)
#endif
#else
#define CORELIB_API
#endif
