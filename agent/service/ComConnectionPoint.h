// CConnectionPoint: one connection point for an events dispinterface, shared
// by the agent's control object and the GUI bridge. It counts on its
// container, holds each sink's IDispatch with a cookie, at most `maxSinks`, and
// hands out snapshots (each sink with a reference) so events are delivered
// with no lock held and a handler may Advise or Unadvise.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <mutex>
#include <vector>

class CConnectionPoint final : public IConnectionPoint {
 public:
  struct Connection {
    DWORD cookie;
    IDispatch* sink;
  };

  CConnectionPoint(IConnectionPointContainer& container, const IID& events, size_t maxSinks)
      : m_container(container), m_events(events), m_maxSinks(maxSinks) {}
  ~CConnectionPoint() { Clear(); }
  CConnectionPoint(const CConnectionPoint&) = delete;
  CConnectionPoint& operator=(const CConnectionPoint&) = delete;

  // The sinks now, each with a reference the caller releases.
  std::vector<Connection> Snapshot();
  // Unadvise by the owner (a sink gone with its process).
  HRESULT Remove(DWORD cookie);
  // Drops every sink.
  void Clear();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return m_container.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_container.Release(); }
  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override { return Remove(cookie); }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** connections) override;

 private:
  IConnectionPointContainer& m_container;
  const IID m_events;
  const size_t m_maxSinks;
  std::mutex m_lock;  // guards the two below; never held while calling out
  std::vector<Connection> m_sinks;
  DWORD m_nextCookie = 1;
};
