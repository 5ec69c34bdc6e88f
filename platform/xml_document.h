// The XML seam of the custom-monitor side: load a reply, walk it by element
// names, read texts and attributes, serialise an element back. On Windows it
// is MSXML 3 (win32/xml_msxml.cpp; DTDs prohibited, nothing external resolved,
// no validation); the small reader in xml_reader.cpp serves the native build,
// its tests and the fuzzers. A document and its nodes belong to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct XmlLoadError {
  int32_t code = 0;  // the parser's error code
  std::string reason;
  long line = 0, position = 0;
  std::string source;
};

class IXmlNode {
 public:
  virtual ~IXmlNode() = default;
  virtual std::string Name() = 0;
  // The first child element called `name`; null when there is none.
  virtual std::unique_ptr<IXmlNode> Child(const std::string& name) = 0;
  // Every child element called `name`, in document order.
  virtual std::vector<std::unique_ptr<IXmlNode>> Children(const std::string& name) = 0;
  // The text of the element and its descendants, leading and trailing white
  // space removed (as MSXML's `text` gives it).
  virtual std::string Text() = 0;
  // False when the element has no attribute `name`.
  virtual bool Attribute(const std::string& name, std::string& value) = 0;
  // The element with its content as XML text.
  virtual std::string Xml() = 0;
};

class IXmlDocument {
 public:
  virtual ~IXmlDocument() = default;
  // False with the parser's reason, line, position and source line when
  // `text` is not a well-formed document.
  virtual bool Load(const std::string& text, XmlLoadError& error) = 0;
  // Null before a successful Load.
  virtual std::unique_ptr<IXmlNode> DocumentElement() = 0;
};

// The platform's parser. Null when it cannot be created, with the system's
// code (an HRESULT on Windows) in `error`.
std::unique_ptr<IXmlDocument> create_xml_document(int32_t& error);
// The small reader, on every platform.
std::unique_ptr<IXmlDocument> create_native_xml_document();

}  // namespace platform
