// The XMP packet through the XMP toolkit (exempi).
#include <exempi/xmp.h>
#include <exempi/xmpconsts.h>

#include <memory>
#include <mutex>

#include "xmp_packet.h"

namespace kx::zqlog {
namespace {

constexpr const char* kDynamicMediaNamespace = "http://ns.adobe.com/xmp/1.0/DynamicMedia/";

// The toolkit is started once, at the first packet, and stopped when this
// library is unloaded: a host that unloads the plug-in takes the toolkit
// library with it, and whatever the toolkit still held would be lost.
class Toolkit {
 public:
  bool Start() {
    std::call_once(once_, [this] {
      started_ = xmp_init();
      if (started_) xmp_register_namespace(kDynamicMediaNamespace, "xmpDM", nullptr);
    });
    return started_;
  }
  ~Toolkit() {
    if (started_) xmp_terminate();
  }

 private:
  std::once_flag once_;
  bool started_ = false;
};
Toolkit toolkit;

bool StartToolkit() { return toolkit.Start(); }

struct XmpDeleter {
  void operator()(_Xmp* xmp) const { xmp_free(xmp); }
};
struct XmpStringDeleter {
  void operator()(_XmpString* text) const { xmp_string_free(text); }
};

}  // namespace

std::string WriteXmpPacketWithExempi(const XmpFields& fields, bool wrapper) {
  if (!StartToolkit()) return std::string();
  std::unique_ptr<_Xmp, XmpDeleter> xmp(xmp_new_empty());
  if (!xmp) return std::string();
  if (fields.hasCreator) {
    if (!xmp_set_property(xmp.get(), NS_XAP, "CreatorTool", fields.creatorTool.c_str(), 0) ||
        !xmp_set_property(xmp.get(), NS_XAP, "CreateDate", fields.createDate.c_str(), 0)) {
      return std::string();
    }
  }
  if (fields.hasDuration) {
    const std::string value = std::to_string(fields.durationValue);
    const std::string scale = std::to_string(fields.scaleNumerator) + "/" + std::to_string(fields.scaleDenominator);
    if (!xmp_set_property(xmp.get(), kDynamicMediaNamespace, "xmpDM:duration/xmpDM:value", value.c_str(), 0) ||
        !xmp_set_property(xmp.get(), kDynamicMediaNamespace, "xmpDM:duration/xmpDM:scale", scale.c_str(), 0)) {
      return std::string();
    }
  }
  std::unique_ptr<_XmpString, XmpStringDeleter> text(xmp_string_new());
  if (!text) return std::string();
  const uint32_t serialOptions = wrapper ? 0 : XMP_SERIAL_OMITPACKETWRAPPER;
  if (!xmp_serialize(xmp.get(), text.get(), serialOptions, 0)) return std::string();
  return std::string(xmp_string_cstr(text.get()));
}

}  // namespace kx::zqlog
