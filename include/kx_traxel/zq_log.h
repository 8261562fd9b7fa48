/* ZQ_Log: the logging library that kx_Traxel imports.
 *
 * The plug-in imports LogTextW (ordinal 1) and LogPrintW (ordinal 2), and
 * DumpXmpMetadata and InjectAsfXmp by name. ZqLog_SetSink is an addition of
 * the stand-in shipped with kx_Traxel for hosts and tests. */
#ifndef KX_TRAXEL_ZQ_LOG_H
#define KX_TRAXEL_ZQ_LOG_H

#include <stdint.h>

#include "kx_traxel.h"
#include "kx_types.h"

#ifdef ZQ_LOG_BUILDING
#define ZQ_LOG_API KX_EXPORT
#else
#define ZQ_LOG_API KX_IMPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one fixed text (no placeholders) as one record. */
ZQ_LOG_API int LogTextW(const kx_wchar* text);

/* Formats a wide printf-style line (Windows conventions: %s and %ls take a
 * wide string, %S and %hs a narrow one) and writes it as one record. */
ZQ_LOG_API int LogPrintW(const kx_wchar* format, ...);

/* Receives each record's exact UTF-16 text (NUL-terminated, nothing added). */
typedef void (*ZqLogSink)(void* context, const kx_wchar* text);

/* Hands every record to `sink` instead of the log file; null restores the
 * default destination (the file named by ZQ_LOG_FILE, else standard error). */
ZQ_LOG_API void ZqLog_SetSink(ZqLogSink sink, void* context);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>

/* Serialises the host's XMP metadata record into an XMP packet (narrow text,
 * with its xpacket wrapper); empty on failure. */
ZQ_LOG_API std::string DumpXmpMetadata(const _XmpMetadata& metadata, int options);

/* Puts an XMP packet into a finished ASF or MP4 file; true when written. */
ZQ_LOG_API bool InjectAsfXmp(const char* path, const char* data, uint64_t count, int options);
#endif

#endif /* KX_TRAXEL_ZQ_LOG_H */
