#include "agent/custom/PluginText.h"

#include <cctype>

namespace plugin_text {

namespace {

bool White(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWithNoCase(const std::string& s, const char* tail) {
  const std::string t(tail);
  return s.size() >= t.size() && Lower(s.substr(s.size() - t.size())) == t;
}

}  // namespace

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && White(text[b])) ++b;
  while (e > b && White(text[e - 1])) --e;
  return text.substr(b, e - b);
}

std::string ParseOutput(const std::string& output) {
  std::string result;
  size_t pos = 0;
  while (pos < output.size()) {
    const size_t eq = output.find('=', pos);
    if (eq == std::string::npos) break;
    std::string key = Trim(output.substr(pos, eq - pos));
    size_t kb = 0, ke = key.size();
    while (kb < ke && key[kb] == '\'') ++kb;
    while (ke > kb && key[ke - 1] == '\'') --ke;
    key = key.substr(kb, ke - kb);
    std::string unquoted;
    for (size_t i = 0; i < key.size(); ++i) {
      unquoted += key[i];
      if (key[i] == '\'' && i + 1 < key.size() && key[i + 1] == '\'') ++i;
    }
    size_t start = eq + 1, end;
    if (start < output.size() && output[start] == '[') {
      int depth = 0;
      end = output.size();
      for (size_t i = start; i < output.size(); ++i) {
        if (output[i] == '[') ++depth;
        if (output[i] == ']' && --depth == 0) {
          end = i + 1;
          break;
        }
      }
    } else {
      end = start;
      while (end < output.size() && !White(output[end])) ++end;
    }
    result += unquoted + ":" + Trim(output.substr(start, end - start)) + ";";
    pos = end;
  }
  return result;
}

std::string EscapeOutput(const std::string& output) {
  std::string out;
  for (char c : output) {
    if (c == '"' || c == '\'')
      out += "\\'";
    else
      out += c;
  }
  return out;
}

bool ValidPluginName(const std::string& name) {
  if (name.empty() || name.size() > 100 || name == "." || name == "..") return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127 || std::string("\\/:*?\"<>|").find(c) != std::string::npos) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  std::string base = Lower(name.substr(0, name.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  static const char* const kDevices[] = {"con", "prn", "aux", "nul"};
  for (const char* d : kDevices)
    if (base == d) return false;
  if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0) &&
      base[3] >= '1' && base[3] <= '9')
    return false;
  return true;
}

bool SafeRelativeName(const std::string& name) {
  if (name.empty() || name[0] == '\\' || name[0] == '/' || name.find(':') != std::string::npos) return false;
  size_t b = 0;
  while (b <= name.size()) {
    size_t e = name.find_first_of("\\/", b);
    if (e == std::string::npos) e = name.size();
    if (Trim(name.substr(b, e - b)) == "..") return false;
    b = e + 1;
  }
  for (char c : name)
    if (static_cast<unsigned char>(c) < 32) return false;
  return true;
}

Command PluginCommand(const std::string& cmd, const std::string& folder, const std::string& script,
                      const std::string& parameters, const std::string& out) {
  Command c;
  const bool none = parameters.empty();
  if (EndsWithNoCase(script, ".vbs")) {
    c.parameters = none ? "/c cscript /nologo \"" + script + "\" 2>&1 >" + out
                        : "/c cscript /nologo \"" + script + "\" " + parameters + " 2>&1 >" + out;
  } else if (EndsWithNoCase(script, ".ps1")) {
    c.parameters = none ? "/c powershell -executionpolicy bypass -file \"" + script + "\" 2>&1 >" + out
                        : "/c powershell -executionpolicy bypass -file \"" + script + "\" " + parameters +
                              " 2>&1 >" + out;
  } else if (script.size() >= 15 && Lower(script.substr(0, 15)) == "snmpmonitor.exe") {
    c.shell = false;
    c.application = Join(folder, script);
    c.parameters = parameters + " -outFile \"" + out + "\"";
    c.commandLine = c.parameters;  // no program name on this runner's line
    return c;
  } else {
    c.parameters =
        none ? "/c \"" + script + "\" 2>&1 >" + out : "/c \"" + script + " " + parameters + "\" 2>&1 >" + out;
  }
  c.application = cmd;
  c.commandLine = "\"" + cmd + "\" " + c.parameters;
  return c;
}

std::string RewriteSystemFolder(const std::string& appData, const std::string& system,
                                const std::string& wow64) {
  std::string sys = system;
  while (!sys.empty() && (sys.back() == '\\' || sys.back() == '/')) sys.pop_back();
  if (sys.empty() || appData.size() < sys.size() || Lower(appData.substr(0, sys.size())) != Lower(sys))
    return appData;
  if (appData.size() > sys.size() && appData[sys.size()] != '\\' && appData[sys.size()] != '/')
    return appData;
  std::string w = wow64;
  while (!w.empty() && (w.back() == '\\' || w.back() == '/')) w.pop_back();
  return w + appData.substr(sys.size());
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + "\\" + name;
}

}  // namespace plugin_text
