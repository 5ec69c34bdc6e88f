// The agent program's resources, read from the built Halvren.exe: the name and
// description strings, the event-log message table (through FormatMessageW, as
// the event viewer reads it), the type library and the manifest.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#ifndef HALVREN_EXE_PATH
#error "HALVREN_EXE_PATH names the built program"
#endif

namespace {

class ServiceResources : public ::testing::Test {
 protected:
  void SetUp() override {
    m_exe =
        LoadLibraryExW(HALVREN_EXE_PATH, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(m_exe, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (m_exe) FreeLibrary(m_exe);
  }
  HMODULE m_exe = nullptr;
};

TEST_F(ServiceResources, NameAndDescription) {
  wchar_t text[256] = {};
  ASSERT_GT(LoadStringW(m_exe, 100, text, 256), 0);
  EXPECT_STREQ(text, L"Halvren");
  ASSERT_GT(LoadStringW(m_exe, 101, text, 256), 0);
  EXPECT_STREQ(text, L"Internal monitoring tool.");
}

TEST_F(ServiceResources, MessageTableEndsEachTextWithCrLf) {
  const wchar_t* expected[] = {L"Halvren: x\r\n", L"Halvren, the following error occurred: x\r\n",
                               L"Halvren, Status Information: x\r\n"};
  for (DWORD id = 0; id < 3; ++id) {
    wchar_t buffer[256] = {};
    const wchar_t* inserts[] = {L"x"};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, m_exe, id, 0,
                                   buffer, 256, reinterpret_cast<va_list*>(const_cast<wchar_t**>(inserts)));
    ASSERT_GT(n, 0u) << id << " " << GetLastError();
    EXPECT_STREQ(buffer, expected[id]) << id;
  }
}

TEST_F(ServiceResources, ManifestNamesWindows10) {
  HRSRC found = FindResourceW(m_exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* data = static_cast<const char*>(LockResource(LoadResource(m_exe, found)));
  const std::string manifest(data, SizeofResource(m_exe, found));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find("{e2011457-1546-43c5-a5fe-008deee3d3f0}"), std::string::npos);  // Vista
  EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);  // 10 and 11
}

std::wstring Bstr(BSTR b) {
  std::wstring s = b ? b : L"";
  SysFreeString(b);
  return s;
}

TEST_F(ServiceResources, TypeLibraryAsPublished) {
  ITypeLib* lib = nullptr;
  ASSERT_EQ(LoadTypeLibEx(HALVREN_EXE_PATH, REGKIND_NONE, &lib), S_OK);
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  const GUID libid = {0xA1266868, 0x32A7, 0x42E8, {0x93, 0xFD, 0x38, 0x15, 0x74, 0x82, 0x68, 0xAF}};
  EXPECT_TRUE(attr->guid == libid);
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(lib->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Bstr(name), L"CorvaneLib");
  EXPECT_EQ(Bstr(doc), L"Halvren 1.0 Type Library");

  const GUID iid = {0xD60C08D9, 0x95D2, 0x4E35, {0x9A, 0x87, 0x23, 0x2B, 0xE9, 0x5C, 0x21, 0xD4}};
  ITypeInfo* dispatch = nullptr;
  ASSERT_EQ(lib->GetTypeInfoOfGuid(iid, &dispatch), S_OK);
  // The dual interface's vtable side: its [out, retval] parameters keep their names.
  HREFTYPE vtable = 0;
  ITypeInfo* info = nullptr;
  ASSERT_EQ(dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable), S_OK);
  ASSERT_EQ(dispatch->GetRefTypeInfo(vtable, &info), S_OK);
  dispatch->Release();
  struct Method {
    DISPID id;
    const wchar_t* name;
    const wchar_t* help;
    std::wstring params;
  };
  const Method methods[] = {
      {1, L"StartWork", L"method StartWork", L""},
      {2, L"StopWork", L"method StopWork", L""},
      {3, L"GetStatus", L"method GetStatus", L"newStatus"},
      {4, L"GetCurrentTestsList", L"method GetCurrentTestsList", L"testType,testsList"},
      {5, L"Register", L"method Regester", L"newKey,newName"},
      {6, L"GetRegisteredEMail", L"method GetRegisteredEMail", L"regEMail"},
      {7, L"GetRegisteredAgentKey", L"method GetRegisteredAgentKey", L"regKey"},
      {8, L"GetRegisteredName", L"method GetRegisteredName", L"regName"},
      {9, L"UnRegister", L"method UnRegister", L""},
      {10, L"SetProxy", L"method SetProxy", L"newProxy"},
      {11, L"GetProxy", L"method GetProxy", L"currProxy"},
      {12, L"IsTraceOn", L"method IsTraceOn", L"traceOn"},
      {13, L"SetTrace", L"method SetTrace", L"trace"},
      {14, L"GetTracePath", L"method GetTracePath", L"tracePath"},
      {15, L"CollectLogs", L"method CollectLogs", L"zipFilePath"},
  };
  for (const Method& m : methods) {
    BSTR names[4] = {};
    UINT count = 0;
    ASSERT_EQ(info->GetNames(m.id, names, 4, &count), S_OK) << m.id;
    std::wstring params;
    for (UINT i = 1; i < count; ++i) params += (i > 1 ? L"," : L"") + Bstr(names[i]);
    EXPECT_EQ(Bstr(names[0]), m.name);
    EXPECT_EQ(params, m.params) << m.id;
    BSTR help = nullptr;
    ASSERT_EQ(info->GetDocumentation(m.id, nullptr, &help, nullptr, nullptr), S_OK);
    EXPECT_EQ(Bstr(help), m.help);
  }
  info->Release();

  const GUID events = {0x7FE7EEE8, 0xBAB3, 0x43D2, {0x87, 0x81, 0x07, 0xAE, 0x51, 0x79, 0xB5, 0xEF}};
  ASSERT_EQ(lib->GetTypeInfoOfGuid(events, &info), S_OK);
  BSTR names[3] = {};
  UINT count = 0;
  ASSERT_EQ(info->GetNames(2, names, 3, &count), S_OK);
  EXPECT_EQ(Bstr(names[0]), L"StatusChanged");
  EXPECT_EQ(Bstr(names[1]), L"newStatus");
  EXPECT_EQ(Bstr(names[2]), L"StatusDesc");
  info->Release();
  lib->Release();
}

}  // namespace
