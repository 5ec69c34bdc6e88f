#include "agent/service/ComConnectionPoint.h"

#include <olectl.h>

std::vector<CConnectionPoint::Connection> CConnectionPoint::Snapshot() {
  std::lock_guard<std::mutex> lock(m_lock);
  std::vector<Connection> out = m_sinks;
  for (Connection& c : out) c.sink->AddRef();
  return out;
}

HRESULT CConnectionPoint::Remove(DWORD cookie) {
  IDispatch* removed = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
      if (it->cookie == cookie) {
        removed = it->sink;
        m_sinks.erase(it);
        break;
      }
    }
  }
  if (removed == nullptr) return CONNECT_E_NOCONNECTION;
  removed->Release();  // may call out of the process: no lock held
  return S_OK;
}

void CConnectionPoint::Clear() {
  std::vector<Connection> sinks;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    sinks.swap(m_sinks);
  }
  for (Connection& c : sinks) c.sink->Release();
}

HRESULT CConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid != IID_IUnknown && riid != IID_IConnectionPoint) return E_NOINTERFACE;
  *ppv = static_cast<IConnectionPoint*>(this);
  AddRef();
  return S_OK;
}

HRESULT CConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = m_events;
  return S_OK;
}

HRESULT CConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  m_container.AddRef();
  *container = &m_container;
  return S_OK;
}

HRESULT CConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (cookie != nullptr) *cookie = 0;
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  IDispatch* events = nullptr;
  if (FAILED(sink->QueryInterface(m_events, reinterpret_cast<void**>(&events))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&events))))
    return CONNECT_E_CANNOTCONNECT;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_sinks.size() < m_maxSinks) {
      const DWORD given = m_nextCookie++;
      if (m_nextCookie == 0) m_nextCookie = 1;
      m_sinks.push_back(Connection{given, events});
      *cookie = given;
      return S_OK;
    }
  }
  events->Release();
  return CONNECT_E_ADVISELIMIT;
}

HRESULT CConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections != nullptr) *connections = nullptr;
  return E_NOTIMPL;
}
