// Operations on the host's EncodeParams record that the library performs on
// its own copies: default initialisation, assignment with a deep copy of the
// codec private data, and release. Plus the container lookup on a file-format
// table.
#pragma once

#include <cstdint>

#include <kx_traxel/kx_traxel.h>

// Every field zero except the documented defaults (video values 1 and 8 at
// offsets 24 and 40, 8 bits per sample, no video / audio / subpicture, XMP
// option bits 0 and 1). Padding and the subpicture's reserved bytes are left
// as they are. The three pExtraData become null with size 0; buffers the
// record held before are not freed.
void EncodeParamsInit(EncodeParams* p);

// Assignment: copies every field of `src` into `*dst` except the two language
// fields (cleared), the padding and the reserved subpicture bytes (untouched).
// Each pExtraData is deep-copied with new[]: dst's old buffer is freed first
// (it must be one of the library's own), and a source size of 0, a negative
// size (the field is read as signed 32-bit), a null source pointer or a
// failed allocation leaves a null pointer with size 0.
// Copying a record onto itself changes nothing.
void EncodeParamsCopy(EncodeParams* dst, const EncodeParams& src);

// Frees the three pExtraData buffers (the library's own, new[]) and sets
// their sizes to 0. Never call it on a record the host built.
void EncodeParamsRelease(EncodeParams* p);

// Walks a file-format table from its first row to the all-zero row and
// returns the row whose fourcc equals `fourcc`, or null when there is none.
// A null table finds nothing.
const FileFormatDescriptor* FindFileFormat(const FileFormatDescriptor* table, uint32_t fourcc);

// Deep copy of one section's StreamExtraBlock with the rules of
// EncodeParamsCopy (padding untouched, dst's old buffer freed).
void StreamExtraBlockCopy(StreamExtraBlock* dst, const StreamExtraBlock& src);
