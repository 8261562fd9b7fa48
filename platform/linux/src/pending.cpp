// Entry points whose implementation is still to come: each fails cleanly.
#include "kxplatform/mf.h"

extern "C" {

HRESULT PropVariantClear(PROPVARIANT* pvar) { return E_NOTIMPL; }
HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) { return E_NOTIMPL; }
LPVOID CoTaskMemAlloc(SIZE_T cb) { return nullptr; }
LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb) { return nullptr; }
void CoTaskMemFree(LPVOID pv) {}
HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) { return E_NOTIMPL; }
HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz) { return E_NOTIMPL; }
int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) { return 0; }
HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) { return S_OK; }
void CoUninitialize() {}

HRESULT MFStartup(ULONG Version, DWORD dwFlags) { return E_NOTIMPL; }
HRESULT MFShutdown() { return E_NOTIMPL; }
HRESULT MFCreateAttributes(IMFAttributes** ppMFAttributes, UINT32 cInitialSize) { return E_NOTIMPL; }
HRESULT MFCreateMediaType(IMFMediaType** ppMFType) { return E_NOTIMPL; }
HRESULT MFCreateCollection(IMFCollection** ppIMFCollection) { return E_NOTIMPL; }
HRESULT MFCreateMemoryBuffer(DWORD cbMaxLength, IMFMediaBuffer** ppBuffer) { return E_NOTIMPL; }
HRESULT MFCreateAlignedMemoryBuffer(DWORD cbMaxLength, DWORD cbAligment, IMFMediaBuffer** ppBuffer) {
  return E_NOTIMPL;
}
HRESULT MFCreateSample(IMFSample** ppIMFSample) { return E_NOTIMPL; }
HRESULT MFCopyImage(BYTE* pDest, LONG lDestStride, const BYTE* pSrc, LONG lSrcStride, DWORD dwWidthInBytes,
                    DWORD dwLines) {
  return E_NOTIMPL;
}
HRESULT MFCalculateImageSize(REFGUID guidSubtype, UINT32 unWidth, UINT32 unHeight, UINT32* pcbImageSize) {
  return E_NOTIMPL;
}
HRESULT MFFrameRateToAverageTimePerFrame(UINT32 unNumerator, UINT32 unDenominator, UINT64* punAverageTimePerFrame) {
  return E_NOTIMPL;
}
HRESULT MFAverageTimePerFrameToFrameRate(UINT64 unAverageTimePerFrame, UINT32* punNumerator,
                                         UINT32* punDenominator) {
  return E_NOTIMPL;
}
LONGLONG MFGetSystemTime() { return 0; }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  return nullptr;
}
BOOL SetEvent(HANDLE hEvent) { return FALSE; }
BOOL ResetEvent(HANDLE hEvent) { return FALSE; }
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) { return WAIT_FAILED; }
BOOL CloseHandle(HANDLE hObject) { return FALSE; }
DWORD GetLastError() { return 0; }
void SetLastError(DWORD dwErrCode) {}
int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte, LPWSTR lpWideCharStr,
                        int cchWideChar) {
  return 0;
}
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar, LPSTR lpMultiByteStr,
                        int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar) {
  return 0;
}
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) { return nullptr; }
HLOCAL LocalFree(HLOCAL hMem) { return hMem; }

}  // extern "C"

// The system message text lives with the diagnostics code; this weak fallback
// only keeps the layer linkable until then.
extern "C" __attribute__((weak)) DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                                      DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                                      va_list* Arguments) {
  return 0;
}
