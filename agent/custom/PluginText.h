// The plugin runner's text rules: the output parser, the command forms, the
// plugin folder and the checks on names that come from jobs.
#pragma once

#include <cstdint>
#include <string>

namespace plugin_text {

// Trims white space (any isspace) at both ends.
std::string Trim(const std::string& text);
// "k=v" pairs of a plugin's output as "k:v;" (see PluginMonitor.cpp).
std::string ParseOutput(const std::string& output);
// An output that carries no pairs, as an error text: double quotes become
// single quotes, then each single quote gets a backslash before it.
std::string EscapeOutput(const std::string& output);

// One plain folder name (1..100 characters, no separators, wildcards,
// control characters, trailing dot or blank, nor a device name).
bool ValidPluginName(const std::string& name);
// A relative name inside the plugin folder: no "..", no ":", no leading
// separator.
bool SafeRelativeName(const std::string& name);

struct Command {
  std::string application;  // full path; empty: first token of the line
  std::string commandLine;  // as handed to the process start
  std::string parameters;   // the parameter text alone (for the log)
  bool shell = true;        // through cmd.exe
};
// The runner command for `script` in `folder` with output file `out`.
// `cmd` is cmd.exe by full path.
Command PluginCommand(const std::string& cmd, const std::string& folder, const std::string& script,
                      const std::string& parameters, const std::string& out);

// `appData` with a leading 64-bit system folder replaced by the 32-bit one
// (only at a path boundary, ignoring case).
std::string RewriteSystemFolder(const std::string& appData, const std::string& system,
                                const std::string& wow64);
std::string Join(const std::string& folder, const std::string& name);

}  // namespace plugin_text
