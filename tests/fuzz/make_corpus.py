#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/.

Run once by hand when a seed changes (python3 and, for the two encoded
files, the ffmpeg tool); the seeds are kept in the tree, CI does not run
this. Regression inputs found by fuzzing are added to the same folders by
hand, named regression-<what>.
"""
import os
import struct
import subprocess
import tempfile
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- extra_data: i32 len1 | first block | u32 len2 | second block
def extra(first, second=None, len1=None, len2=None):
    out = struct.pack("<i", len(first) if len1 is None else len1) + first
    if second is not None:
        out += struct.pack("<I", len(second) if len2 is None else len2) + second
    return out


write("extra_data", "video-both-blocks", extra(b"\x00\x00\x01\xb0\x01", b"\x00\x00\x01\xb5\x89\x13"))
write("extra_data", "audio-first-only", extra(b"\x12\x10"))
write("extra_data", "empty-blocks", extra(b"", b""))
write("extra_data", "negative-len1", extra(b"abcd", b"xy", len1=-4))
write("extra_data", "len2-past-end", extra(b"abcd", b"xy", len2=0xFFFFFFF0))
write("extra_data", "len1-past-end", extra(b"abcd", len1=0x7FFFFFFF))
write("extra_data", "short", b"\x01\x00")


# --- encode_params: flags | (mode u8, size u32) x3 | pool
def record(flags, sections, pool):
    out = bytes([flags])
    for mode, size in sections:
        out += bytes([mode]) + struct.pack("<I", size)
    return out + pool


pool = bytes(range(64))
write("encode_params", "all-buffers", record(0, [(1, 16), (1, 2), (1, 5)], pool))
write("encode_params", "null-and-empty", record(1, [(0, 16), (2, 0), (1, 0)], pool))
write("encode_params", "negative-sizes", record(0x1F, [(1, 0xFFFFFFFF), (2, 0x80000000), (1, 7)], pool[:32]))
write("encode_params", "no-pool", record(0x06, [(1, 4), (1, 4), (0, 4)], b""))


# --- xmp_inject: files with ASF or MP4 top-level objects
def guid(text):
    return uuid.UUID(text).bytes_le


ASF_HEADER = guid("75B22630-668E-11CF-A6D9-00AA0062CE6C")
ASF_DATA = guid("75B22636-668E-11CF-A6D9-00AA0062CE6C")
ASF_FILE_PROPERTIES = guid("8CABDCA1-A947-11CF-8EE4-00C00C205365")
ASF_SIMPLE_INDEX = guid("33000890-E5B1-11CF-89F4-00A0C90349CB")
XMP = "BE7ACFCB-97A9-42E8-9C71-999491E3AFAC"


def asf_object(g, body):
    return g + struct.pack("<Q", 24 + len(body)) + body


def asf_file(extra_objects=b""):
    file_properties = asf_object(ASF_FILE_PROPERTIES, bytes(16) + bytes(64))
    header = ASF_HEADER + struct.pack("<QIBB", 30 + len(file_properties), 1, 1, 2) + file_properties
    data = asf_object(ASF_DATA, bytes(16) + struct.pack("<QH", 0, 0x0101))
    return header + data + extra_objects


write("xmp_inject", "asf-minimal", asf_file())
write("xmp_inject", "asf-old-xmp-and-index",
      asf_file(asf_object(guid(XMP), b"<old/>") + asf_object(ASF_SIMPLE_INDEX, bytes(32))))


def box(kind, body):
    return struct.pack(">I", 8 + len(body)) + kind + body


FTYP = box(b"ftyp", b"isom\x00\x00\x02\x00isomiso2mp41")
XMP_BOX = box(b"uuid", uuid.UUID(XMP).bytes + b"<old/>")
write("xmp_inject", "mp4-mdat-to-end", FTYP + box(b"moov", b"") + struct.pack(">I", 0) + b"mdat" + b"\x00" * 16)
write("xmp_inject", "mp4-xmp-middle-and-end", FTYP + XMP_BOX + box(b"mdat", b"\x01" * 8) + XMP_BOX)
write("xmp_inject", "mp4-large-size-box",
      FTYP + struct.pack(">I", 1) + b"mdat" + struct.pack(">Q", 16 + 4) + b"abcd")
write("xmp_inject", "neither", b"not a media file")

# --- host_input: a selector byte (0: YUV4MPEG2, 1: WAV, 2: ASF header), then the file
def wav(fmt, channels, rate, bits, data):
    block = channels * bits // 8
    fmt_chunk = struct.pack("<HHIIHH", fmt, channels, rate, rate * block, block, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt_chunk)) + fmt_chunk
    body += b"data" + struct.pack("<I", len(data)) + data
    return b"RIFF" + struct.pack("<I", len(body)) + body


write("host_input", "y4m_two_pictures",
      b"\x00YUV4MPEG2 W4 H2 F25:1 Ip A1:1 C420jpeg\n" + (b"FRAME\n" + bytes(range(12))) * 2)
write("host_input", "wav_s16_stereo", b"\x01" + wav(1, 2, 48000, 16, bytes(64)))
write("host_input", "wav_float_mono", b"\x01" + wav(3, 1, 44100, 32, bytes(32)))
write("host_input", "wav_s24", b"\x01" + wav(1, 2, 44100, 24, bytes(36)))
# An empty data chunk, then another chunk: no sound, not the chunk's bytes.
write("host_input", "wav_empty_data_then_chunk",
      b"\x01" + wav(1, 2, 44100, 16, b"") + b"LIST" + struct.pack("<I", 8) + b"INFOabcd")

# --- key_frame: rule byte (0 always .. 6 never) | WMV3 sequence header (4) | packet
for name, rule, header, packet in (
        ("wmv2-intra", 3, b"", b""), ("msmpeg4-inter", 2, b"\x00" * 4, b"\x40\x12"),
        ("wmv3-bframes-interp-rangered", 4, b"\x00\x00\x00\x92", b"\x05\x00"),
        ("wmv3-skipped", 4, b"\x00\x00\x00\x00", b"\x00"),
        ("vc1-entry-point-at-end", 5, bytes(4), b"\x00\x00\x00\x01\x0d\x00\x00\x01\x0e"),
        ("vc1-cut-start-code", 5, bytes(4), b"\x00\x00\x01"), ("never", 6, b"", b"\x00"), ("rule-only", 4, b"", b"")):
    write("key_frame", name, bytes([rule]) + header + packet)

# Two real files, as small as the encoders make them.
with tempfile.TemporaryDirectory() as tmp:
    for name, args in (("ffmpeg.wmv", ["-c:v", "wmv2"]), ("ffmpeg.mp4", ["-c:v", "mpeg4"])):
        out = os.path.join(tmp, name)
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=black:size=16x16:rate=1",
                        "-frames:v", "1", *args, "-fflags", "+bitexact", "-map_metadata", "-1", out],
                       check=True)
        with open(out, "rb") as f:
            write("xmp_inject", name, f.read())
        if name.endswith(".wmv"):  # kx-host's reading of the ASF header's sizes
            with open(out, "rb") as f:
                write("host_input", "asf_header", b"\x02" + f.read())

# --- mp4_hybrid: u16 index length | plain moov | fragmented file, as the layer writes them
def top_boxes(data):
    at = 0
    while at + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        yield kind, data[at:at + size]
        at += size


with tempfile.TemporaryDirectory() as tmp:
    source, fragmented, plain = (os.path.join(tmp, n) for n in ("source.mov", "fragmented.mp4", "plain.mp4"))
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=16x16:rate=10", "-f", "lavfi",
                    "-i", "sine=sample_rate=8000", "-t", "1.2", "-c:v", "libx264", "-bf", "2", "-c:a", "aac",
                    "-fflags", "+bitexact", source], check=True)
    for out, flags in ((fragmented, ["-movflags", "frag_keyframe+empty_moov+delay_moov+default_base_moof+skip_trailer",
                                     "-frag_duration", "500000"]), (plain, [])):
        subprocess.run(["ffmpeg", "-v", "error", "-i", source, "-c", "copy", *flags, "-fflags", "+bitexact",
                        "-map_metadata", "-1", out], check=True)
    with open(plain, "rb") as f:
        moov = [body for kind, body in top_boxes(f.read()) if kind == b"moov"][0]
    with open(fragmented, "rb") as f:
        write("mp4_hybrid", "h264-bframes-aac", struct.pack(">H", len(moov)) + moov + f.read())
