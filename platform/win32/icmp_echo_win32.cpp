#include "platform/win32/icmp_echo_win32.h"

// Windows Sockets before windows.h, the IP Helper headers after it.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>

#include <icmpapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/proc_address.h"

namespace {

using IcmpCreateFileFn = HANDLE(WINAPI*)();
using IcmpCloseHandleFn = BOOL(WINAPI*)(HANDLE);
using IcmpSendEchoFn = DWORD(WINAPI*)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD,
                                      DWORD);
using IcmpSendEcho2Fn = DWORD(WINAPI*)(HANDLE, HANDLE, FARPROC, PVOID, IPAddr, LPVOID, WORD,
                                       PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD);
using IcmpParseRepliesFn = DWORD(WINAPI*)(LPVOID, DWORD);
using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

// How long a cancelled request is given to come back before its buffer is
// given up, and how long past its own time-out a request is waited for.
constexpr DWORD kCancelFirstMs = 100;
constexpr DWORD kCancelGraceMs = 500;
constexpr DWORD kOverrunMs = 10000;

}  // namespace

struct IcmpEchoWin32::Helper {
  HMODULE module = nullptr;
  IcmpCreateFileFn create = nullptr;
  IcmpCloseHandleFn close = nullptr;
  IcmpSendEchoFn send = nullptr;
  IcmpSendEcho2Fn send2 = nullptr;
  IcmpParseRepliesFn parse = nullptr;
  CancelIoExFn cancelIo = nullptr;

  bool Available() const { return create && close && send; }
  bool Async() const { return Available() && send2 && parse; }

  ~Helper() {
    if (module) FreeLibrary(module);
  }
};

namespace {

// A request's reply buffer and event. When a request cannot be called back
// (the system ignored the cancel), its slot is given up rather than freed: the
// system may still write into it.
struct RequestSlot {
  std::vector<uint8_t> reply;
  HANDLE done = nullptr;
  ~RequestSlot() {
    if (done) CloseHandle(done);
  }
};

class Session : public IIcmpEchoSession {
 public:
  Session(std::shared_ptr<IcmpEchoWin32::Helper> helper, HANDLE handle)
      : m_helper(std::move(helper)),
        m_handle(handle),
        m_cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Session() override {
    CloseHandleOnce();
    if (m_cancel) CloseHandle(m_cancel);
  }

  IcmpEchoResult Echo(uint32_t address, const std::vector<uint8_t>& data, uint32_t timeout) override {
    const DWORD replySize = static_cast<DWORD>(data.size() + sizeof(ICMP_ECHO_REPLY));
    if (Cancelled() || m_closed) return {IcmpEchoResult::Cancelled, 0};
    if (!m_helper->Async() || !m_cancel) return EchoBlocking(address, data, replySize, timeout);
    auto slot = std::make_unique<RequestSlot>();
    slot->reply.assign(replySize, 0);
    slot->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!slot->done) return EchoBlocking(address, data, replySize, timeout);
    DWORD n =
        m_helper->send2(m_handle, slot->done, nullptr, nullptr, address, const_cast<uint8_t*>(data.data()),
                        static_cast<WORD>(data.size()), nullptr, slot->reply.data(), replySize, timeout);
    if (n == 0) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return {IcmpEchoResult::CallFailed, error};
      HANDLE waits[2] = {slot->done, m_cancel};
      DWORD limit = timeout > MAXDWORD - kOverrunMs ? INFINITE : timeout + kOverrunMs;
      DWORD which = WaitForMultipleObjects(2, waits, FALSE, limit);
      if (which != WAIT_OBJECT_0) {
        // Stopped, or the request overran its own time-out: cut it short.
        if (m_helper->cancelIo) m_helper->cancelIo(m_handle, nullptr);
        if (WaitForSingleObject(slot->done, kCancelFirstMs) != WAIT_OBJECT_0) {
          // Closing the handle ends what it still has running.
          CloseHandleOnce();
          if (WaitForSingleObject(slot->done, kCancelGraceMs) != WAIT_OBJECT_0) slot.release();  // given up
        }
        if (which == WAIT_OBJECT_0 + 1) return {IcmpEchoResult::Cancelled, 0};
        return {IcmpEchoResult::CallFailed, WAIT_TIMEOUT};
      }
      if (Cancelled()) return {IcmpEchoResult::Cancelled, 0};
      SetLastError(0);
      n = m_helper->parse(slot->reply.data(), replySize);
      if (n == 0) return {IcmpEchoResult::CallFailed, GetLastError()};
    }
    return ReadReply(slot->reply.data());
  }

  void Cancel() override {
    if (m_cancel) SetEvent(m_cancel);
  }

 private:
  void CloseHandleOnce() {
    if (m_closed) return;
    m_closed = true;
    m_helper->close(m_handle);
  }

  bool Cancelled() const { return m_cancel && WaitForSingleObject(m_cancel, 0) == WAIT_OBJECT_0; }

  // Without the asynchronous echo: nothing can cut this short but its time-out.
  IcmpEchoResult EchoBlocking(uint32_t address, const std::vector<uint8_t>& data, DWORD replySize,
                              uint32_t timeout) {
    std::vector<uint8_t> reply(replySize, 0);
    DWORD n = m_helper->send(m_handle, address, const_cast<uint8_t*>(data.data()),
                             static_cast<WORD>(data.size()), nullptr, reply.data(), replySize, timeout);
    if (n == 0) return {IcmpEchoResult::CallFailed, GetLastError()};
    return ReadReply(reply.data());
  }

  static IcmpEchoResult ReadReply(const uint8_t* buffer) {
    ICMP_ECHO_REPLY reply;
    std::memcpy(&reply, buffer, sizeof reply);
    if (reply.Status != 0) return {IcmpEchoResult::BadStatus, reply.Status};
    return {IcmpEchoResult::Answered, reply.RoundTripTime};
  }

  std::shared_ptr<IcmpEchoWin32::Helper> m_helper;
  HANDLE m_handle;
  bool m_closed = false;  // only the echo's own thread closes it, or the last owner
  HANDLE m_cancel;
};

}  // namespace

IcmpEchoWin32::IcmpEchoWin32(RawPingFn rawPing) : m_helper(std::make_shared<Helper>()), m_rawPing(rawPing) {
  wchar_t folder[MAX_PATH];
  UINT n = GetSystemDirectoryW(folder, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    std::wstring path = std::wstring(folder, n) + L"\\iphlpapi.dll";
    m_helper->module = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  HMODULE m = m_helper->module;
  m_helper->create = win32::ResolveFunction<IcmpCreateFileFn>(m, "IcmpCreateFile");
  m_helper->close = win32::ResolveFunction<IcmpCloseHandleFn>(m, "IcmpCloseHandle");
  m_helper->send = win32::ResolveFunction<IcmpSendEchoFn>(m, "IcmpSendEcho");
  m_helper->send2 = win32::ResolveFunction<IcmpSendEcho2Fn>(m, "IcmpSendEcho2");
  m_helper->parse = win32::ResolveFunction<IcmpParseRepliesFn>(m, "IcmpParseReplies");
  m_helper->cancelIo = win32::ResolveFunction<CancelIoExFn>(GetModuleHandleW(L"kernel32.dll"), "CancelIoEx");
  if (!m_helper->Available()) m_helper->create = nullptr, m_helper->close = nullptr, m_helper->send = nullptr;
}

IcmpEchoWin32::~IcmpEchoWin32() = default;

bool IcmpEchoWin32::StartSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void IcmpEchoWin32::StopSockets() { WSACleanup(); }

bool IcmpEchoWin32::HelperAvailable() { return m_helper->Available(); }

bool IcmpEchoWin32::EchoCancellable() { return m_helper->Async(); }

bool IcmpEchoWin32::Resolve(const std::string& host, uint32_t& address) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo* list = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) return false;
  bool found = false;
  for (addrinfo* a = list; a && !found; a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr || a->ai_addrlen < sizeof(sockaddr_in)) continue;
    address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    found = true;
  }
  freeaddrinfo(list);
  return found;
}

std::shared_ptr<IIcmpEchoSession> IcmpEchoWin32::Open() {
  if (!m_helper->Available()) return nullptr;
  HANDLE h = m_helper->create();
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_shared<Session>(m_helper, h);
}

namespace {
bool AskStop(void* context) { return (*static_cast<const std::function<bool()>*>(context))(); }
}  // namespace

bool IcmpEchoWin32::RawPing(const std::string& host, uint32_t timeout, int32_t count, double* results,
                            uint16_t size, uint16_t identifier, const std::function<bool()>& stop) {
  if (!m_rawPing) return false;
  std::function<bool()> asked = stop ? stop : [] { return false; };
  return m_rawPing(host.c_str(), timeout, count, results, size, identifier, &AskStop, &asked);
}
