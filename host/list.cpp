// kx-host list: the plug-in's three tables, as an aligned table or JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "error.h"
#include "plugin.h"

namespace kxhost {
namespace {

std::string Joined(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

std::vector<std::string> CodecNames(const CodecListEntry* list) {
  std::vector<std::string> names;
  for (uint32_t fourcc : CodecsOf(list)) names.push_back(FourCCText(fourcc));
  return names;
}

std::vector<std::string> LiveSlots(const std::vector<std::pair<const char*, const void*>>& slots) {
  std::vector<std::string> names;
  for (const auto& [name, slot] : slots) {
    if (slot != nullptr) names.push_back(name);
  }
  return names;
}

template <typename Fn>
const void* SlotAddress(Fn fn) {
  return fn == nullptr ? nullptr : reinterpret_cast<const void*>(fn);
}

struct Table {
  std::string title;
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
};

void PrintTable(const Table& table) {
  std::vector<size_t> widths(table.header.size());
  for (size_t c = 0; c < widths.size(); ++c) {
    widths[c] = table.header[c].size();
    for (const auto& row : table.rows) widths[c] = std::max(widths[c], row[c].size());
  }
  std::printf("%s\n", table.title.c_str());
  auto printRow = [&](const std::vector<std::string>& row) {
    std::string line = " ";
    for (size_t c = 0; c < row.size(); ++c) {
      line += " " + row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 1, ' ');
    }
    std::printf("%s\n", line.c_str());
  };
  printRow(table.header);
  for (const auto& row : table.rows) printRow(row);
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& items) {
  std::vector<std::string> quoted;
  for (const auto& item : items) quoted.push_back(Json(item));
  std::string out = "[";
  out += Joined(quoted, ", ");
  return out += "]";
}

// The rows of both file-format tables, as (fourcc, extension, name,
// description, audio codecs, video codecs, live slots).
struct FormatRow {
  std::string fourcc, extension, name, description;
  std::vector<std::string> audio, video, slots;
};

template <typename Row>
FormatRow FormatRowOf(const Row& row) {
  return {FourCCText(row.fourcc), TextOf(row.extension, 10), TextOf(row.shortName, 64), TextOf(row.description, 128),
          CodecNames(row.audioCodecs), CodecNames(row.videoCodecs), {}};
}

}  // namespace

int ListCommand(const std::vector<std::string>& arguments) {
  Options options(arguments);
  std::string name, value, pluginPath;
  bool json = false;
  while (options.Next(name, value)) {
    if (name == "--json") {
      json = true;
    } else if (name == "--plugin") {
      pluginPath = options.Value(name);
    } else {
      throw HostError(kExitUsage, "list: unknown " + (name.empty() ? "argument '" + value : "option '" + name) + "'");
    }
  }
  Plugin plugin(pluginPath);

  std::vector<std::vector<std::string>> encoders;
  for (const EncoderDescriptor* row = plugin.encoders(); row->fourcc != 0; ++row) {
    encoders.push_back({FourCCText(row->fourcc), TextOf(row->shortName, 64), row->isVideo != 0 ? "video" : "audio",
                        TextOf(row->description, 128)});
  }
  std::vector<FormatRow> formats, multi;
  for (const FileFormatDescriptor* row = plugin.fileFormats(); row->fourcc != 0; ++row) {
    FormatRow format = FormatRowOf(*row);
    format.slots = LiveSlots({{"create", SlotAddress(row->CreateMediaFile)},
                              {"audio", SlotAddress(row->WriteAudioFrame)},
                              {"video", SlotAddress(row->WriteVideoFrame)},
                              {"close", SlotAddress(row->CloseMediaFile)},
                              {"audio-extra", SlotAddress(row->SetAudioExtraData)},
                              {"video-extra", SlotAddress(row->SetVideoExtraData)}});
    formats.push_back(format);
  }
  for (const MultiStreamFormatDescriptor* row = plugin.multiStreamFormats(); row->fourcc != 0; ++row) {
    FormatRow format = FormatRowOf(*row);
    format.slots = LiveSlots({{"create", SlotAddress(row->CreateMediaFileMultiStream)},
                              {"add", SlotAddress(row->AddStreamInfoMultiStream)},
                              {"init", SlotAddress(row->InitMediaFileMultiStream)},
                              {"write", SlotAddress(row->WriteFrameMultiStream)},
                              {"close", SlotAddress(row->CloseMediaFileMultiStream)},
                              {"extra", SlotAddress(row->WriteExtraDataMultiStream)}});
    multi.push_back(format);
  }

  if (json) {
    std::printf("{\n  \"plugin\": %s,\n  \"encoders\": [", Json(plugin.path()).c_str());
    for (size_t i = 0; i < encoders.size(); ++i) {
      const auto& e = encoders[i];
      std::printf("%s\n    {\"fourcc\": %s, \"name\": %s, \"video\": %s, \"description\": %s}", i == 0 ? "" : ",",
                  Json(e[0]).c_str(), Json(e[1]).c_str(), e[2] == "video" ? "true" : "false", Json(e[3]).c_str());
    }
    for (const auto* table : {&formats, &multi}) {
      std::printf("\n  ],\n  \"%s\": [", table == &formats ? "fileFormats" : "multiStreamFormats");
      for (size_t i = 0; i < table->size(); ++i) {
        const FormatRow& f = (*table)[i];
        std::printf("%s\n    {\"fourcc\": %s, \"extension\": %s, \"name\": %s, \"description\": %s, "
                    "\"audioCodecs\": %s, \"videoCodecs\": %s, \"slots\": %s}",
                    i == 0 ? "" : ",", Json(f.fourcc).c_str(), Json(f.extension).c_str(), Json(f.name).c_str(),
                    Json(f.description).c_str(), JsonList(f.audio).c_str(), JsonList(f.video).c_str(),
                    JsonList(f.slots).c_str());
      }
    }
    std::printf("\n  ]\n}\n");
    return kExitOk;
  }

  std::printf("Plug-in: %s\n\n", plugin.path().c_str());
  PrintTable({"Encoders (GetEncoders)", {"FourCC", "Name", "Kind", "Description"}, encoders});
  for (const auto* table : {&formats, &multi}) {
    Table out{table == &formats ? "\nFile formats (GetFileFormats)" : "\nMulti-stream formats (GetFileMultiStreamFormats)",
              {"FourCC", "Ext", "Name", "Description", "Audio", "Video", "Live slots"}, {}};
    for (const FormatRow& f : *table) {
      out.rows.push_back({f.fourcc, f.extension, f.name, f.description, f.audio.empty() ? "-" : Joined(f.audio, ","),
                          f.video.empty() ? "-" : Joined(f.video, ","), Joined(f.slots, ",")});
    }
    PrintTable(out);
  }
  return kExitOk;
}

}  // namespace kxhost
