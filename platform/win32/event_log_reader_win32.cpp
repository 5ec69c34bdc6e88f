#include "platform/win32/event_log_reader_win32.h"

#include <windows.h>

#include <cstddef>

#include "platform/event_log_record.h"
#include "platform/win32/error_text.h"
#include "platform/win32/wide.h"

// The portable parser reads the record at these offsets.
static_assert(offsetof(EVENTLOGRECORD, RecordNumber) == 8, "layout");
static_assert(offsetof(EVENTLOGRECORD, TimeGenerated) == 12, "layout");
static_assert(offsetof(EVENTLOGRECORD, EventID) == 20, "layout");
static_assert(offsetof(EVENTLOGRECORD, EventType) == 24, "layout");
static_assert(offsetof(EVENTLOGRECORD, NumStrings) == 26, "layout");
static_assert(offsetof(EVENTLOGRECORD, StringOffset) == 36, "layout");
static_assert(offsetof(EVENTLOGRECORD, UserSidLength) == 40, "layout");
static_assert(offsetof(EVENTLOGRECORD, DataOffset) == 52, "layout");
static_assert(sizeof(EVENTLOGRECORD) == event_log_record::kHeaderSize, "layout");

namespace {

// A message may use inserts up to %99; the ones a record does not carry are empty.
constexpr size_t kMessageInserts = 99;
constexpr DWORD kMaxMessageChars = 32768;
constexpr DWORD kMaxValueBytes = 65536;
constexpr DWORD kMaxAccountChars = 4096;

class EventLogWin32 : public IEventLog {
 public:
  explicit EventLogWin32(HANDLE h) : m_h(h) {}
  ~EventLogWin32() override { CloseEventLog(m_h); }

  bool Count(uint32_t& records, uint32_t& error) override {
    DWORD n = 0;
    if (!GetNumberOfEventLogRecords(m_h, &n)) {
      error = GetLastError();
      return false;
    }
    records = n;
    return true;
  }
  bool Oldest(uint32_t& number, uint32_t& error) override {
    DWORD n = 0;
    if (!GetOldestEventLogRecord(m_h, &n)) {
      error = GetLastError();
      return false;
    }
    number = n;
    return true;
  }
  uint32_t Read(uint32_t number, uint8_t* buffer, uint32_t size, uint32_t& read, uint32_t& needed) override {
    uint8_t none[sizeof(EVENTLOGRECORD)];  // the call wants a buffer even when it is to say the size
    DWORD got = 0, need = 0;
    if (!ReadEventLogW(m_h, EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ, number, size ? buffer : none, size,
                       &got, &need)) {
      const DWORD error = GetLastError();
      needed = need;
      return error == 0 ? ERROR_INVALID_DATA : error;
    }
    read = got;
    return 0;
  }

 private:
  HANDLE m_h;
};

// A value of a key, zero-terminated; empty when missing, not text or too large.
std::wstring ReadText(HKEY key, const wchar_t* name) {
  DWORD type = 0, bytes = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return std::wstring();
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0 || bytes > kMaxValueBytes)
    return std::wstring();
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  DWORD got = bytes;
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &got) != ERROR_SUCCESS)
    return std::wstring();
  value.resize(wcsnlen(value.c_str(), got / sizeof(wchar_t)));
  return value;
}

// The raw value when the expansion fails.
std::wstring Expanded(const std::wstring& raw) {
  std::wstring out(kMaxValueBytes / sizeof(wchar_t), L'\0');
  const DWORD n = ExpandEnvironmentStringsW(raw.c_str(), &out[0], static_cast<DWORD>(out.size()));
  if (n == 0 || n > out.size()) return raw;
  out.resize(n - 1);
  return out;
}

// Only a full path is loaded: a bare name would be searched for.
bool IsFullPath(const std::wstring& path) {
  if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) return true;
  return path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
}

}  // namespace

std::unique_ptr<IEventLog> EventLogReaderWin32::Open(const std::string& server, const std::string& logName,
                                                     uint32_t& error) {
  const std::wstring wideServer = win32::Widen(server);
  const std::wstring wideLog = win32::Widen(logName);
  HANDLE h = OpenEventLogW(server.empty() ? nullptr : wideServer.c_str(), wideLog.c_str());
  if (h == nullptr) {
    error = GetLastError();
    return nullptr;
  }
  return std::make_unique<EventLogWin32>(h);
}

bool EventLogReaderWin32::MessageText(const std::string& logName, const std::string& source, uint32_t eventID,
                                      const std::vector<std::string>& inserts, std::string& text) {
  // The names come from the test line and from the record (another machine's,
  // perhaps): neither may lead elsewhere in the registry.
  if (logName.empty() || source.empty() || logName.find('\\') != std::string::npos ||
      source.find('\\') != std::string::npos)
    return false;
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + win32::Widen(logName) +
                            L"\\" + win32::Widen(source);
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  const std::wstring raw = ReadText(key, L"EventMessageFile");
  RegCloseKey(key);
  if (raw.empty()) return false;
  const std::wstring file = Expanded(raw);
  if (!IsFullPath(file)) return false;
  HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return false;

  std::vector<std::wstring> wide(kMessageInserts);
  std::vector<DWORD_PTR> args(kMessageInserts);
  for (size_t i = 0; i < kMessageInserts; ++i) {
    if (i < inserts.size()) wide[i] = win32::Widen(inserts[i]);
    args[i] = reinterpret_cast<DWORD_PTR>(wide[i].c_str());
  }
  std::vector<wchar_t> out(kMaxMessageChars);
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
      eventID, 0, out.data(), kMaxMessageChars, reinterpret_cast<va_list*>(args.data()));
  FreeLibrary(module);
  if (n == 0 || n >= kMaxMessageChars) return false;
  text = win32::Narrow(out.data(), static_cast<int>(n));
  return true;
}

bool EventLogReaderWin32::LookupAccount(const std::vector<uint8_t>& sid, std::string& name,
                                        std::string& domain, uint32_t& use) {
  std::vector<uint8_t> copy(sid);
  PSID p = copy.data();
  if (copy.empty() || !IsValidSid(p) || GetLengthSid(p) > copy.size()) return false;
  DWORD nameChars = 256, domainChars = 256;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<wchar_t> n(nameChars), d(domainChars);
    SID_NAME_USE kind = SidTypeUnknown;
    if (LookupAccountSidW(nullptr, p, n.data(), &nameChars, d.data(), &domainChars, &kind)) {
      name = win32::Narrow(n.data());
      domain = win32::Narrow(d.data());
      use = static_cast<uint32_t>(kind);
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || nameChars > kMaxAccountChars ||
        domainChars > kMaxAccountChars)
      return false;
  }
  return false;
}

std::string EventLogReaderWin32::ErrorText(uint32_t error) { return win32::ErrorText(error); }
