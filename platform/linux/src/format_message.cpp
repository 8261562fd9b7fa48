// FormatMessageW for the Linux layer: the system's English message texts for
// the HRESULTs and Win32 error codes this library and its layer produce.
//
// Texts are the ones the Windows message tables carry (winerror.h and
// mferror.h list them). System error texts end in "\r\n" as on Windows; the
// Media Foundation texts end without a line break there (their message
// definitions end in %0), and so they do here. Any other code has no text:
// FormatMessageW then returns 0 with ERROR_MR_MID_NOT_FOUND, as Windows does
// for a code missing from its tables.
#include <cstring>

#include "kxplatform/mf.h"

namespace {

constexpr DWORD kErrorMessageNotFound = 317;          // ERROR_MR_MID_NOT_FOUND
constexpr DWORD kErrorResourceLangNotFound = 1815;    // ERROR_RESOURCE_LANG_NOT_FOUND

struct SystemMessage {
  DWORD code;
  const WCHAR* text;
};

// Win32 error codes; their HRESULT_FROM_WIN32 forms find the same text.
constexpr SystemMessage kWin32Messages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough storage is available to process this command.\r\n"},
    {14, u"Not enough storage is available to complete this operation.\r\n"},
    {19, u"The media is write protected.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {39, u"The disk is full.\r\n"},
    {80, u"The file exists.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {223, u"The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {534, u"Arithmetic result exceeded 32 bits.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
};

// HRESULTs of other facilities.
constexpr SystemMessage kHresultMessages[] = {
    {0x80004001u, u"Not implemented\r\n"},
    {0x80004002u, u"No such interface supported\r\n"},
    {0x80004003u, u"Invalid pointer\r\n"},
    {0x80004004u, u"Operation aborted\r\n"},
    {0x80004005u, u"Unspecified error\r\n"},
    {0x8000FFFFu, u"Catastrophic failure\r\n"},
    {0x80020008u, u"Bad variable type.\r\n"},
    // Media Foundation (mferror.h).
    {0xC00D36B0u, u"Platform not initialized. Please call MFStartup()."},
    {0xC00D36B1u, u"The buffer was too small to carry out the requested action."},
    {0xC00D36B2u, u"The request is invalid in the current state."},
    {0xC00D36B3u, u"The stream number provided was invalid."},
    {0xC00D36B4u, u"The data specified for the media type is invalid, inconsistent, or not supported by this object."},
    {0xC00D36B5u, u"The callee is currently not accepting further input."},
    {0xC00D36B6u, u"This object needs to be initialized before the requested operation can be carried out."},
    {0xC00D36B7u, u"The requested representation is not supported by this object."},
    {0xC00D36B9u,
     u"An object ran out of media types to suggest therefore the requested chain of streaming objects cannot be "
     u"completed."},
    {0xC00D36BAu, u"The object does not support the specified service."},
    {0xC00D36BBu, u"An unexpected error has occurred in the operation requested."},
    {0xC00D36BDu, u"Invalid type."},
    {0xC00D36BEu, u"The file does not conform to the relevant file format specification."},
    {0xC00D36BFu, u"Invalid index."},
    {0xC00D36C0u, u"An invalid timestamp was given."},
    {0xC00D36C4u, u"The byte stream type of the given URL is unsupported."},
    {0xC00D36C8u, u"The Media Sample does not have a timestamp."},
    {0xC00D36C9u, u"The Media Sample does not have a duration."},
    {0xC00D36D5u, u"The specified object or value does not exist."},
    {0xC00D36D7u, u"The specified operation requires a clock and no clock is available."},
    {0xC00D36E3u, u"You are calling MFStartup with the wrong MF_VERSION. Mismatched bits?"},
    {0xC00D36E6u, u"The requested attribute was not found."},
    {0xC00D36FEu,
     u"The data specified for the media type is supported, but would require a format change, which is not "
     u"supported by this object."},
    {0xC00D3E80u, u"There are no events available in the queue."},
    {0xC00D3E82u, u"A media source cannot go from the stopped state to the paused state."},
    {0xC00D3E84u, u"The media stream cannot process any more samples because there are no more samples in the stream."},
    {0xC00D3E85u, u"The request is invalid because Shutdown() has been called."},
    {0xC00D4A3Bu, u"Stream Sinks cannot be added to or removed from this Media Sink because its set of streams is fixed."},
    {0xC00D5212u, u"No suitable transform was found to encode or decode the content."},
};

const WCHAR* FindMessage(DWORD code) {
  const DWORD facility = (code >> 16) & 0x1FFF;
  if ((code & 0x80000000u) != 0 && facility == FACILITY_WIN32) code &= 0xFFFF;
  if ((code & 0xFFFF0000u) == 0) {
    for (const SystemMessage& message : kWin32Messages) {
      if (message.code == code) return message.text;
    }
    return nullptr;
  }
  for (const SystemMessage& message : kHresultMessages) {
    if (message.code == code) return message.text;
  }
  return nullptr;
}

size_t Length(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

extern "C" DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                LPWSTR lpBuffer, DWORD nSize, va_list* Arguments) {
  // Only system texts are kept here; a message from a string or a module
  // has no source on this platform.
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 ||
      (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0 || lpBuffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool allocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
  if (allocate) *reinterpret_cast<LPWSTR*>(lpBuffer) = nullptr;

  const WORD language = PRIMARYLANGID(dwLanguageId);
  if (language != LANG_NEUTRAL && language != LANG_ENGLISH) {
    SetLastError(kErrorResourceLangNotFound);
    return 0;
  }
  const WCHAR* text = FindMessage(dwMessageId);
  if (text == nullptr) {
    SetLastError(kErrorMessageNotFound);
    return 0;
  }
  const size_t length = Length(text);

  if (allocate) {
    // nSize is the minimum number of characters to allocate.
    const size_t characters = length + 1 > nSize ? length + 1 : nSize;
    auto* copy = static_cast<LPWSTR>(LocalAlloc(LMEM_FIXED, characters * sizeof(WCHAR)));
    if (copy == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::memcpy(copy, text, (length + 1) * sizeof(WCHAR));
    *reinterpret_cast<LPWSTR*>(lpBuffer) = copy;
    return static_cast<DWORD>(length);
  }
  if (nSize < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(lpBuffer, text, (length + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(length);
}
