// The sink writer's completion callback.
#include <new>

#include <kx_traxel/zq_log.h>

#include "kxsinkwriter/sink_writer_encoder.h"

CMFSinkWriterCallback::CMFSinkWriterCallback(HANDLE hEvent)
    : m_refCount(1), m_hEvent(hEvent), m_finalizeStatus(S_OK) {}

CMFSinkWriterCallback::~CMFSinkWriterCallback() { LogPrintW(KX_W("release \n")); }

HRESULT STDMETHODCALLTYPE CMFSinkWriterCallback::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IMFSinkWriterCallback) || IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IMFSinkWriterCallback*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CMFSinkWriterCallback::AddRef() { return ++m_refCount; }

ULONG STDMETHODCALLTYPE CMFSinkWriterCallback::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

// Called by the writer on a thread of its own. The status is recorded for
// the closing encoder, which logs a failed one, and passed back unchanged; a
// finalize that fails late still ends the wait.
HRESULT STDMETHODCALLTYPE CMFSinkWriterCallback::OnFinalize(HRESULT hrStatus) {
  m_finalizeStatus.store(hrStatus, std::memory_order_release);
  // SetEvent fails only for a handle that is not open; the encoder closes
  // its event when it is destroyed, which the close path does only after
  // Finish has waited for this signal.
  if (m_hEvent != nullptr) (void)SetEvent(m_hEvent);
  return hrStatus;
}

HRESULT STDMETHODCALLTYPE CMFSinkWriterCallback::OnMarker(DWORD, LPVOID) { return S_OK; }
