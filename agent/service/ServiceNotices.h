// How the service module tells a person something went wrong. The text always
// goes to the event log (under the source "Halvren") and to standard error; a
// message box only when someone can see it: an interactive window station in a
// session other than 0. A box on an invisible desktop would wait for ever (the
// updater runs "-service" from session 0).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

struct NoticeSeams {
  // Writes one event: type (EVENTLOG_*_TYPE), event id, the one insertion string.
  std::function<void(WORD type, DWORD eventId, const std::wstring& text)> reportEvent;
  std::function<void(const std::wstring& text)> standardError;
  std::function<bool()> desktopVisible;
  std::function<void(const std::wstring& text)> messageBox;
};

class CServiceNotices {
 public:
  explicit CServiceNotices(NoticeSeams seams) : m_seams(std::move(seams)) {}

  // A failure a person has to know of (installation, registration). The
  // system's error code, when there is one, goes with the logged text; the box
  // shows the text alone.
  void Error(const std::wstring& text, DWORD error = 0) {
    const std::wstring logged = error == 0 ? text : text + L" (error " + std::to_wstring(error) + L")";
    if (m_seams.reportEvent) m_seams.reportEvent(EVENTLOG_ERROR_TYPE, 1, logged);
    if (m_seams.standardError) m_seams.standardError(logged);
    if (m_seams.desktopVisible && m_seams.desktopVisible() && m_seams.messageBox) m_seams.messageBox(text);
  }
  // The module's information events ("Service started", ...), at most 255 characters.
  void Information(std::wstring text) {
    if (text.size() > 255) text.resize(255);
    if (m_seams.reportEvent) m_seams.reportEvent(EVENTLOG_INFORMATION_TYPE, 0, text);
  }

 private:
  NoticeSeams m_seams;
};
