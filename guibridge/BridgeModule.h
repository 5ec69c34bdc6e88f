// The bridge DLL's module state: its handle, its type library and the count
// of live objects and server locks that DllCanUnloadNow answers from.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <string>

namespace bridge {

HMODULE Module();
// The DLL's full path.
std::wstring ModulePath();
// The type library from the DLL's own resource, loaded once; null when it
// cannot be read. The caller gets a reference.
ITypeLib* TypeLibrary();

void ObjectCreated();
void ObjectDestroyed();
void Lock();
void Unlock();
bool CanUnload();

}  // namespace bridge
