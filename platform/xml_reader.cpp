// A small, strict XML reader: elements, attributes, character data, CDATA,
// comments, processing instructions and the five predefined entities plus
// character references. A document type declaration is refused (nothing is
// ever expanded or fetched). Bounded: at most 64 MiB of input, 256 levels of
// nesting and 1,000,000 nodes.
#include <cstring>

#include "platform/xml_document.h"

namespace platform {
namespace {

constexpr size_t kMaxInput = 64u << 20;
constexpr int kMaxDepth = 256;
constexpr size_t kMaxNodes = 1000000;

struct Element {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  // Content in order: text pieces (element index -1) and child elements.
  struct Piece {
    int element = -1;
    std::string text;
  };
  std::vector<Piece> content;
};

struct Tree {
  std::vector<Element> elements;  // 0 is the document element
};

class Parser {
 public:
  Parser(const std::string& text, Tree& tree) : s_(text), tree_(tree) {}

  bool Parse(XmlLoadError& error) {
    if (s_.size() > kMaxInput) return Fail("The document is too large.", error);
    if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0) p_ = 3;
    if (!Misc(error)) return false;
    if (p_ >= s_.size() || s_[p_] != '<') return Fail("No document element.", error);
    if (!ParseElement(0, error)) return false;
    if (!Misc(error)) return false;
    if (p_ != s_.size()) return Fail("Content after the document element.", error);
    return true;
  }

 private:
  bool Fail(const char* reason, XmlLoadError& error) {
    error.code = -1;
    error.reason = reason;
    error.line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < p_ && i < s_.size(); ++i)
      if (s_[i] == '\n') {
        ++error.line;
        lineStart = i + 1;
      }
    error.position = static_cast<long>(p_ - lineStart + 1);
    size_t end = s_.find('\n', lineStart);
    error.source = s_.substr(
        lineStart, std::min<size_t>(end == std::string::npos ? s_.size() : end, lineStart + 200) - lineStart);
    return false;
  }

  bool Starts(const char* t) const { return s_.compare(p_, strlen(t), t) == 0; }
  static bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  void SkipSpace() {
    while (p_ < s_.size() && Space(s_[p_])) ++p_;
  }
  static bool NameChar(unsigned char c, bool first) {
    if (isalpha(c) || c == '_' || c == ':' || c >= 0x80) return true;
    return !first && (isdigit(c) || c == '-' || c == '.');
  }
  bool Name(std::string& out) {
    size_t b = p_;
    if (p_ >= s_.size() || !NameChar(static_cast<unsigned char>(s_[p_]), true)) return false;
    while (p_ < s_.size() && NameChar(static_cast<unsigned char>(s_[p_]), false)) ++p_;
    out.assign(s_, b, p_ - b);
    return true;
  }

  // Comments, processing instructions and white space outside the document element.
  bool Misc(XmlLoadError& error) {
    for (;;) {
      SkipSpace();
      if (Starts("<?")) {
        if (!Skip("?>", error)) return false;
      } else if (Starts("<!--")) {
        if (!Skip("-->", error)) return false;
      } else if (Starts("<!")) {
        return Fail("A document type declaration is not allowed.", error);
      } else {
        return true;
      }
    }
  }
  bool Skip(const char* end, XmlLoadError& error) {
    size_t at = s_.find(end, p_ + 2);
    if (at == std::string::npos) return Fail("Unterminated markup.", error);
    p_ = at + strlen(end);
    return true;
  }

  static void AppendUtf8(std::string& out, unsigned long c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  // At '&': one reference into `out`.
  bool Reference(std::string& out, XmlLoadError& error) {
    size_t semi = s_.find(';', p_);
    if (semi == std::string::npos || semi - p_ > 12) return Fail("Bad entity reference.", error);
    std::string ref = s_.substr(p_ + 1, semi - p_ - 1);
    static const struct {
      const char* name;
      char c;
    } kNamed[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& n : kNamed)
      if (ref == n.name) {
        out += n.c;
        p_ = semi + 1;
        return true;
      }
    if (ref.size() >= 2 && ref[0] == '#') {
      bool hex = ref[1] == 'x';
      std::string digits = ref.substr(hex ? 2 : 1);
      if (digits.empty() || digits.size() > 8) return Fail("Bad character reference.", error);
      unsigned long c = 0;
      for (char d : digits) {
        int v = isdigit(static_cast<unsigned char>(d))           ? d - '0'
                : hex && isxdigit(static_cast<unsigned char>(d)) ? (tolower(d) - 'a' + 10)
                                                                 : -1;
        if (v < 0) return Fail("Bad character reference.", error);
        c = c * (hex ? 16 : 10) + static_cast<unsigned long>(v);
      }
      if (c == 0 || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return Fail("Bad character reference.", error);
      AppendUtf8(out, c);
      p_ = semi + 1;
      return true;
    }
    return Fail("Undefined entity.", error);
  }

  bool ParseElement(int depth, XmlLoadError& error) {
    if (depth >= kMaxDepth) return Fail("The document is nested too deeply.", error);
    if (tree_.elements.size() >= kMaxNodes) return Fail("The document has too many nodes.", error);
    const size_t index = tree_.elements.size();
    tree_.elements.emplace_back();
    ++p_;  // '<'
    std::string name;
    if (!Name(name)) return Fail("Bad element name.", error);
    tree_.elements[index].name = name;
    for (;;) {
      size_t before = p_;
      SkipSpace();
      if (p_ >= s_.size()) return Fail("Unterminated start tag.", error);
      if (Starts("/>")) {
        p_ += 2;
        return true;
      }
      if (s_[p_] == '>') {
        ++p_;
        break;
      }
      if (p_ == before) return Fail("Expected white space between attributes.", error);
      std::string attr, value;
      if (!Name(attr)) return Fail("Bad attribute name.", error);
      SkipSpace();
      if (p_ >= s_.size() || s_[p_] != '=') return Fail("Expected '='.", error);
      ++p_;
      SkipSpace();
      if (p_ >= s_.size() || (s_[p_] != '"' && s_[p_] != '\''))
        return Fail("Expected a quoted value.", error);
      const char quote = s_[p_++];
      while (p_ < s_.size() && s_[p_] != quote) {
        if (s_[p_] == '<') return Fail("'<' in an attribute value.", error);
        if (s_[p_] == '&') {
          if (!Reference(value, error)) return false;
        } else {
          value += s_[p_++];
        }
      }
      if (p_ >= s_.size()) return Fail("Unterminated attribute value.", error);
      ++p_;
      for (const auto& a : tree_.elements[index].attributes)
        if (a.first == attr) return Fail("Duplicate attribute.", error);
      tree_.elements[index].attributes.emplace_back(attr, value);
    }
    // Content.
    std::string text;
    auto flush = [&] {
      if (text.empty()) return;
      Element::Piece piece;
      piece.text = std::move(text);
      tree_.elements[index].content.push_back(std::move(piece));
      text.clear();
    };
    for (;;) {
      if (p_ >= s_.size()) return Fail("Unterminated element.", error);
      if (Starts("</")) {
        flush();
        p_ += 2;
        std::string end;
        if (!Name(end) || end != name) return Fail("End tag does not match the start tag.", error);
        SkipSpace();
        if (p_ >= s_.size() || s_[p_] != '>') return Fail("Bad end tag.", error);
        ++p_;
        return true;
      }
      if (Starts("<!--")) {
        if (!Skip("-->", error)) return false;
      } else if (Starts("<![CDATA[")) {
        size_t end = s_.find("]]>", p_ + 9);
        if (end == std::string::npos) return Fail("Unterminated CDATA section.", error);
        text.append(s_, p_ + 9, end - p_ - 9);
        p_ = end + 3;
      } else if (Starts("<?")) {
        if (!Skip("?>", error)) return false;
      } else if (Starts("<!")) {
        return Fail("Markup declarations are not allowed here.", error);
      } else if (s_[p_] == '<') {
        flush();
        Element::Piece piece;
        piece.element = static_cast<int>(tree_.elements.size());
        tree_.elements[index].content.push_back(piece);
        if (!ParseElement(depth + 1, error)) return false;
      } else if (s_[p_] == '&') {
        if (!Reference(text, error)) return false;
      } else {
        text += s_[p_++];
      }
    }
  }

  const std::string& s_;
  Tree& tree_;
  size_t p_ = 0;
};

std::string Escape(const std::string& text, bool attribute) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"':
        if (attribute) {
          out += "&quot;";
          break;
        }
        out += c;
        break;
      default: out += c;
    }
  }
  return out;
}

class NativeNode : public IXmlNode {
 public:
  NativeNode(std::shared_ptr<const Tree> tree, int index) : tree_(std::move(tree)), index_(index) {}
  std::string Name() override { return E().name; }
  std::unique_ptr<IXmlNode> Child(const std::string& name) override {
    for (const auto& piece : E().content)
      if (piece.element >= 0 && tree_->elements[piece.element].name == name)
        return std::make_unique<NativeNode>(tree_, piece.element);
    return nullptr;
  }
  std::vector<std::unique_ptr<IXmlNode>> Children(const std::string& name) override {
    std::vector<std::unique_ptr<IXmlNode>> out;
    for (const auto& piece : E().content)
      if (piece.element >= 0 && tree_->elements[piece.element].name == name)
        out.push_back(std::make_unique<NativeNode>(tree_, piece.element));
    return out;
  }
  std::string Text() override {
    std::string all;
    CollectText(index_, all, 0);
    size_t b = all.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return std::string();
    size_t e = all.find_last_not_of(" \t\r\n");
    return all.substr(b, e - b + 1);
  }
  bool Attribute(const std::string& name, std::string& value) override {
    for (const auto& a : E().attributes)
      if (a.first == name) {
        value = a.second;
        return true;
      }
    return false;
  }
  std::string Xml() override {
    std::string out;
    Serialise(index_, out, 0);
    return out;
  }

 private:
  const Element& E() const { return tree_->elements[index_]; }
  // Depth is bounded by the parser; the guard keeps a walk finite regardless.
  void CollectText(int index, std::string& out, int depth) const {
    if (depth > kMaxDepth) return;
    for (const auto& piece : tree_->elements[index].content) {
      if (piece.element < 0)
        out += piece.text;
      else
        CollectText(piece.element, out, depth + 1);
    }
  }
  void Serialise(int index, std::string& out, int depth) const {
    if (depth > kMaxDepth) return;
    const Element& e = tree_->elements[index];
    out += "<" + e.name;
    for (const auto& a : e.attributes) out += " " + a.first + "=\"" + Escape(a.second, true) + "\"";
    if (e.content.empty()) {
      out += "/>";
      return;
    }
    out += ">";
    for (const auto& piece : e.content) {
      if (piece.element < 0)
        out += Escape(piece.text, false);
      else
        Serialise(piece.element, out, depth + 1);
    }
    out += "</" + e.name + ">";
  }

  std::shared_ptr<const Tree> tree_;
  int index_;
};

class NativeDocument : public IXmlDocument {
 public:
  bool Load(const std::string& text, XmlLoadError& error) override {
    auto tree = std::make_shared<Tree>();
    tree_.reset();
    if (!Parser(text, *tree).Parse(error)) return false;
    tree_ = std::move(tree);
    return true;
  }
  std::unique_ptr<IXmlNode> DocumentElement() override {
    if (!tree_ || tree_->elements.empty()) return nullptr;
    return std::make_unique<NativeNode>(tree_, 0);
  }

 private:
  std::shared_ptr<const Tree> tree_;
};

}  // namespace

std::unique_ptr<IXmlDocument> create_native_xml_document() { return std::make_unique<NativeDocument>(); }

}  // namespace platform
