// IDispatch through a type library's ITypeInfo, shared by the agent's control
// object and the GUI bridge: one type info, names and calls resolved by it.
#pragma once

#include <windows.h>

#include <oleauto.h>

namespace com_dispatch {

inline HRESULT TypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

inline HRESULT TypeInfo(ITypeInfo* own, UINT index, ITypeInfo** info) {
  if (info == nullptr) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  own->AddRef();
  *info = own;
  return S_OK;
}

inline HRESULT IDsOfNames(ITypeInfo* own, REFIID riid, LPOLESTR* names, UINT count, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return DispGetIDsOfNames(own, names, count, ids);
}

// `self`: the dual interface the type info describes.
inline HRESULT Invoke(ITypeInfo* own, void* self, DISPID id, REFIID riid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argError) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  return own->Invoke(self, id, flags, params, result, excep, argError);
}

}  // namespace com_dispatch
