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

/* Bits of _XmpMetadata.nOptions (see DumpXmpMetadata). */
#define ZQ_XMP_DURATION 0x1u
#define ZQ_XMP_CREATOR 0x2u
/* Bits of DumpXmpMetadata's `options` argument. */
#define ZQ_XMP_PACKET_WRAPPER 0x1

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
 * default destination. The sink runs under ZQ_Log's lock, so records reach it
 * one at a time and in order; it may log itself, but must not wait for
 * another thread that logs. Once ZqLog_SetSink returns, the previous sink is
 * no longer called.
 *
 * Default destination: the file named by the environment variable
 * ZQ_LOG_FILE (opened once, on the first record; appended; UTF-8), else
 * standard error. Each record is one line group "<time> <thread> <text>":
 * ISO 8601 UTC time with milliseconds ("2026-01-31T12:00:00.123Z"), the
 * thread id in decimal, the text, and a line feed unless the text ends in
 * one. Records from different threads never interleave. */
ZQ_LOG_API void ZqLog_SetSink(ZqLogSink sink, void* context);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <string>

/* Serialises the host's XMP metadata record into an XMP packet: UTF-8 text
 * (ASCII apart from the packet's byte-order mark); empty on failure.
 *
 * metadata.nOptions selects the properties (both bits set by default):
 *   ZQ_XMP_DURATION  xmpDM:duration, a Time structure: xmpDM:value is
 *                    metadata.nDuration, xmpDM:scale is
 *                    "nTimeScaleNum/nTimeScaleDen" (the plug-in passes 1 and
 *                    10,000,000: 100-nanosecond units). Left out when the
 *                    scale has a zero term.
 *   ZQ_XMP_CREATOR   xmp:CreatorTool "kx_Traxel" and xmp:CreateDate, the
 *                    current UTC time in ISO 8601 ("2026-01-31T12:00:00Z").
 * `options` shapes the text:
 *   ZQ_XMP_PACKET_WRAPPER  a complete packet: <?xpacket begin=...?>, the
 *                    x:xmpmeta element, padding, <?xpacket end="w"?> (the
 *                    plug-in passes this); without it only x:xmpmeta. */
ZQ_LOG_API std::string DumpXmpMetadata(const _XmpMetadata& metadata, int options);

/* Puts an XMP packet into a finished file and returns true when the file
 * holds it:
 *   ASF: a top-level XMP object (GUID BE7ACFCB-97A9-42E8-9C71-999491E3AFAC,
 *        64-bit size, the packet) right after the Data Object and before any
 *        index object; an XMP object already in the file is replaced; the
 *        File Properties Object's file size is updated; nothing else of the
 *        header changes.
 *   MP4: a top-level 'uuid' box with the same UUID (plain byte order) and
 *        the packet, appended after the last box; an XMP box already in the
 *        file is removed, or turned into a 'free' box of its size when boxes
 *        follow it, so that no media offset moves.
 * A null or empty packet leaves the file untouched and returns true. A file
 * that is neither, or is damaged, is left untouched and gives false. The new
 * file is written beside the old one ("<path>.xmptmp") and renamed over it,
 * so any failure (full disk, read-only folder) leaves the original intact
 * and returns false. `path` is narrow text in the ANSI code page. No option
 * bits are defined; pass 0. */
ZQ_LOG_API bool InjectAsfXmp(const char* path, const char* data, uint64_t count, int options);
#endif

#endif /* KX_TRAXEL_ZQ_LOG_H */
