// Error information for a failing COM call: the error object of this thread,
// shared by the agent's control object and the GUI bridge.
#pragma once

#include <windows.h>

#include <oleauto.h>

// Sets this thread's error object (GUID_NULL, no help) and returns `hr`.
HRESULT SetCallError(const wchar_t* source, const wchar_t* description, HRESULT hr);
// Clears this thread's error object, so a caller finds no stale one.
void ClearCallError();
