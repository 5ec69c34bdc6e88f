#include "platform/xml_document.h"

namespace platform {

std::unique_ptr<IXmlDocument> create_xml_document(int32_t& error) {
  error = 0;
  return create_native_xml_document();
}

}  // namespace platform
