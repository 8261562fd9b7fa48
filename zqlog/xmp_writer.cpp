#include "xmp_packet.h"

#include <kx_traxel/zq_log.h>

#include "utc_time.h"

namespace kx::zqlog {
namespace {

constexpr const char* kCreatorTool = "kx_Traxel";

std::string TwoDigits(int value) {
  std::string text(2, '0');
  text[0] = static_cast<char>('0' + value / 10 % 10);
  text[1] = static_cast<char>('0' + value % 10);
  return text;
}

}  // namespace

XmpFields FieldsFromRecord(const _XmpMetadata& metadata) {
  XmpFields fields;
  if ((metadata.nOptions & ZQ_XMP_DURATION) != 0 && metadata.nTimeScaleNum != 0 && metadata.nTimeScaleDen != 0) {
    fields.hasDuration = true;
    fields.durationValue = metadata.nDuration;
    fields.scaleNumerator = metadata.nTimeScaleNum;
    fields.scaleDenominator = metadata.nTimeScaleDen;
  }
  if ((metadata.nOptions & ZQ_XMP_CREATOR) != 0) {
    fields.hasCreator = true;
    fields.creatorTool = kCreatorTool;
    const UtcTime now = UtcNow();
    fields.createDate = std::to_string(now.year) + "-" + TwoDigits(now.month) + "-" + TwoDigits(now.day) + "T" +
                        TwoDigits(now.hour) + ":" + TwoDigits(now.minute) + ":" + TwoDigits(now.second) + "Z";
  }
  return fields;
}

std::string WriteXmpPacket(const XmpFields& fields, bool wrapper) {
  // Every value is digits, '/', '-', ':' or the creator tool: nothing to
  // escape.
  std::string xml;
  if (wrapper) xml += "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n";
  xml +=
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">\n"
      " <rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">\n"
      "  <rdf:Description rdf:about=\"\"\n"
      "    xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\"\n"
      "    xmlns:xmpDM=\"http://ns.adobe.com/xmp/1.0/DynamicMedia/\">\n";
  if (fields.hasCreator) {
    xml += "   <xmp:CreatorTool>" + fields.creatorTool + "</xmp:CreatorTool>\n";
    xml += "   <xmp:CreateDate>" + fields.createDate + "</xmp:CreateDate>\n";
  }
  if (fields.hasDuration) {
    xml += "   <xmpDM:duration rdf:parseType=\"Resource\">\n";
    xml += "    <xmpDM:value>" + std::to_string(fields.durationValue) + "</xmpDM:value>\n";
    xml += "    <xmpDM:scale>" + std::to_string(fields.scaleNumerator) + "/" +
           std::to_string(fields.scaleDenominator) + "</xmpDM:scale>\n";
    xml += "   </xmpDM:duration>\n";
  }
  xml +=
      "  </rdf:Description>\n"
      " </rdf:RDF>\n"
      "</x:xmpmeta>\n";
  if (wrapper) {
    // Room for editing in place, as the XMP toolkit leaves it.
    const std::string paddingLine(99, ' ');
    for (int i = 0; i < 20; ++i) xml += paddingLine + "\n";
    xml += "<?xpacket end=\"w\"?>";
  }
  return xml;
}

}  // namespace kx::zqlog

