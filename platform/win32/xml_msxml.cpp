// The XML seam over MSXML 3 (DOMDocument30), created through COM. Every
// document joins the multithreaded apartment for its lifetime (a scoped
// apartment that accepts a thread already in another one), so it works on any
// thread of the agent and in the console program. DTDs are prohibited,
// external resources are not resolved and nothing is validated: a reply
// comes from outside.
#include <msxml2.h>
#include <oleauto.h>
#include <windows.h>

#include <memory>

#include "platform/win32/wide.h"
#include "platform/xml_document.h"

namespace {

// MinGW ships no import library with these.
const CLSID kClsidDOMDocument30 = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID kIidDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kIidNode = {0x2933bf80, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};
const IID kIidElement = {0x2933bf86, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

class Apartment {
 public:
  Apartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    joined_ = SUCCEEDED(hr);  // RPC_E_CHANGED_MODE: the thread is in another apartment already
  }
  ~Apartment() {
    if (joined_) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  bool joined_ = false;
};

template <typename T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}
  ~Com() {
    if (p_) p_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T* get() const { return p_; }
  T** out() { return &p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

class Bstr {
 public:
  explicit Bstr(const std::string& text) : b_(SysAllocString(win32::Widen(text).c_str())) {}
  Bstr() = default;
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }
  BSTR* out() { return &b_; }
  std::string Utf8() const {
    return b_ ? win32::Narrow(b_, static_cast<int>(SysStringLen(b_))) : std::string();
  }

 private:
  BSTR b_ = nullptr;
};

class MsxmlNode : public platform::IXmlNode {
 public:
  MsxmlNode(std::shared_ptr<Apartment> apartment, IXMLDOMNode* node)
      : apartment_(std::move(apartment)), node_(node) {}
  std::string Name() override {
    Bstr name;
    if (FAILED(node_->get_nodeName(name.out()))) return std::string();
    return name.Utf8();
  }
  std::unique_ptr<platform::IXmlNode> Child(const std::string& name) override {
    Com<IXMLDOMNode> child;
    Bstr query(name);
    if (node_->selectSingleNode(query.get(), child.out()) != S_OK || !child) return nullptr;
    IXMLDOMNode* raw = child.get();
    raw->AddRef();
    return std::make_unique<MsxmlNode>(apartment_, raw);
  }
  std::vector<std::unique_ptr<platform::IXmlNode>> Children(const std::string& name) override {
    std::vector<std::unique_ptr<platform::IXmlNode>> out;
    Com<IXMLDOMNodeList> list;
    Bstr query(name);
    if (FAILED(node_->selectNodes(query.get(), list.out())) || !list) return out;
    long length = 0;
    list->get_length(&length);
    for (long i = 0; i < length; ++i) {
      IXMLDOMNode* item = nullptr;
      if (SUCCEEDED(list->get_item(i, &item)) && item)
        out.push_back(std::make_unique<MsxmlNode>(apartment_, item));
    }
    return out;
  }
  std::string Text() override {
    Bstr text;
    if (FAILED(node_->get_text(text.out()))) return std::string();
    return text.Utf8();
  }
  bool Attribute(const std::string& name, std::string& value) override {
    Com<IXMLDOMElement> element;
    if (FAILED(node_->QueryInterface(kIidElement, reinterpret_cast<void**>(element.out()))) || !element)
      return false;
    VARIANT v;
    VariantInit(&v);
    Bstr attr(name);
    bool found = element->getAttribute(attr.get(), &v) == S_OK && v.vt == VT_BSTR;
    if (found) value = win32::Narrow(v.bstrVal, static_cast<int>(SysStringLen(v.bstrVal)));
    VariantClear(&v);
    return found;
  }
  std::string Xml() override {
    Bstr xml;
    if (FAILED(node_->get_xml(xml.out()))) return std::string();
    return xml.Utf8();
  }

 private:
  std::shared_ptr<Apartment> apartment_;  // released after the node
  Com<IXMLDOMNode> node_;
};

class MsxmlDocument : public platform::IXmlDocument {
 public:
  MsxmlDocument(std::shared_ptr<Apartment> apartment, IXMLDOMDocument2* doc)
      : apartment_(std::move(apartment)), doc_(doc) {}
  bool Load(const std::string& text, platform::XmlLoadError& error) override {
    loaded_ = false;
    Bstr source(text);
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = doc_->loadXML(source.get(), &ok);
    if (SUCCEEDED(hr) && ok == VARIANT_TRUE) {
      loaded_ = true;
      return true;
    }
    Com<IXMLDOMParseError> parseError;
    error = platform::XmlLoadError();
    if (SUCCEEDED(doc_->get_parseError(parseError.out())) && parseError) {
      Bstr reason, src;
      long code = 0;
      parseError->get_errorCode(&code);
      error.code = static_cast<int32_t>(code);
      parseError->get_reason(reason.out());
      parseError->get_line(&error.line);
      parseError->get_linepos(&error.position);
      parseError->get_srcText(src.out());
      error.reason = reason.Utf8();
      error.source = src.Utf8();
      while (!error.reason.empty() && (error.reason.back() == '\n' || error.reason.back() == '\r'))
        error.reason.pop_back();
    }
    return false;
  }
  std::unique_ptr<platform::IXmlNode> DocumentElement() override {
    if (!loaded_) return nullptr;
    IXMLDOMElement* element = nullptr;
    if (doc_->get_documentElement(&element) != S_OK || !element) return nullptr;
    IXMLDOMNode* node = nullptr;
    HRESULT hr = element->QueryInterface(kIidNode, reinterpret_cast<void**>(&node));
    element->Release();
    if (FAILED(hr) || !node) return nullptr;
    return std::make_unique<MsxmlNode>(apartment_, node);
  }

 private:
  std::shared_ptr<Apartment> apartment_;  // released after the document
  Com<IXMLDOMDocument2> doc_;
  bool loaded_ = false;
};

}  // namespace

namespace platform {

std::unique_ptr<IXmlDocument> create_xml_document(int32_t& error) {
  auto apartment = std::make_shared<Apartment>();
  IXMLDOMDocument2* doc = nullptr;
  HRESULT hr = CoCreateInstance(kClsidDOMDocument30, nullptr, CLSCTX_ALL, kIidDocument2,
                                reinterpret_cast<void**>(&doc));
  if (FAILED(hr) || !doc) {
    error = static_cast<int32_t>(hr);
    return nullptr;
  }
  // Before any load: no document type, nothing fetched, nothing validated.
  VARIANT on;
  VariantInit(&on);
  on.vt = VT_BOOL;
  on.boolVal = VARIANT_TRUE;
  Bstr prohibit("ProhibitDTD");
  doc->setProperty(prohibit.get(), on);
  doc->put_resolveExternals(VARIANT_FALSE);
  doc->put_validateOnParse(VARIANT_FALSE);
  doc->put_async(VARIANT_FALSE);
  error = 0;
  return std::make_unique<MsxmlDocument>(std::move(apartment), doc);
}

}  // namespace platform
