#include "agent/service/ComErrors.h"

HRESULT SetCallError(const wchar_t* source, const wchar_t* description, HRESULT hr) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    create->SetGUID(GUID_NULL);
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description));
    create->SetHelpFile(nullptr);
    create->SetHelpContext(0);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  return hr;
}

void ClearCallError() { SetErrorInfo(0, nullptr); }
