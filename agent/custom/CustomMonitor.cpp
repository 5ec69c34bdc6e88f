#include "agent/custom/CustomMonitor.h"

#include <cctype>

#include "agent/LogFormat.h"
#include "agent/custom/CorvaneAPIRequest.h"

namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  return i == a.size() && b[i] == 0;
}

std::string Read(platform::IXmlNode& parent, const char* name) {
  std::unique_ptr<platform::IXmlNode> child = parent.Child(name);
  return child ? child->Text() : std::string();
}

int32_t TypeOf(const std::string& text) {
  if (text.empty()) return CustomJob::Unknown;
  if (EqualsNoCase(text, "edit_monitor")) return CustomJob::Edit;
  if (EqualsNoCase(text, "delete_monitor")) return CustomJob::Delete;
  if (EqualsNoCase(text, "update_plugin")) return CustomJob::UpdatePlugin;
  if (EqualsNoCase(text, "run")) return CustomJob::RunCommand;
  return CustomJob::Add;
}

}  // namespace

CustomJob ParseCustomJob(const std::string& text, time_t now,
                         const std::function<std::unique_ptr<platform::IXmlDocument>(int32_t&)>& makeXml,
                         std::string& summary, std::vector<std::string>& lines) {
  CustomJob job;
  summary.clear();
  int32_t error = 0;
  std::unique_ptr<platform::IXmlDocument> doc = makeXml(error);
  if (!doc) {
    lines.push_back("MSXML2::DOMDocument30 creation failed");
    return job;
  }
  platform::XmlLoadError loadError;
  if (!doc->Load(text, loadError)) {
    summary += Format("XML parse error '%d'", static_cast<int>(loadError.code));
    return job;
  }
  std::unique_ptr<platform::IXmlNode> root = doc->DocumentElement();
  if (!root || root->Name() != "job") {
    summary += Format("No job node in the XML: '%s'", text.c_str());
    return job;
  }
  const std::string id = Read(*root, "id"), interval = Read(*root, "interval"), type = Read(*root, "type");
  if (!id.empty()) {
    job.jobId = ReadUnsigned32(id);
    if (job.jobId == 0xFFFFFFFFu) job.jobId = 0;
  }
  if (!interval.empty()) {
    job.interval = ReadUnsigned32(interval);
    if (job.interval == 0 || job.interval == 0xFFFFFFFFu) job.interval = 5;
  }
  job.nextCheck = now;
  job.type = TypeOf(type);
  summary += Format("\r\n==> Job ID: '%s'", id.c_str());
  summary += Format("; Interval: '%s'", interval.c_str());
  summary += Format("; Job Type: '%s'", type.c_str());

  const bool plugin = job.type == CustomJob::Add || job.type == CustomJob::Edit ||
                      job.type == CustomJob::UpdatePlugin || job.type == CustomJob::RunCommand;
  if (plugin) {
    if (auto node = root->Child("plugin")) {
      job.pluginName = Read(*node, "name");
      job.downloadUrl = Read(*node, "downloadUrl");
      job.setupFile = Read(*node, "setupFile");
      job.version = Read(*node, "version");
      const std::string parallel = Read(*node, "maxParallelJobs");
      if (!parallel.empty()) {
        job.maxParallelJobs = ReadUnsigned32(parallel);
        if (job.maxParallelJobs == 0 || job.maxParallelJobs == 0xFFFFFFFFu) job.maxParallelJobs = 1;
      }
      summary += Format("; Plugin name: '%s'", job.pluginName.c_str());
      summary += Format("; Plugin download URL: '%s'", job.downloadUrl.c_str());
      summary += Format("; Plugin setup file: '%s'", job.setupFile.c_str());
      summary += Format("; Plugin version: '%s'", job.version.c_str());
      summary += Format("; MaxParallelJobs: '%s'", parallel.c_str());
    } else {
      lines.push_back("No 'plugin' node for add, edit, update or run type monitor");
    }
  }
  if (job.type == CustomJob::RunCommand) {
    if (auto node = root->Child("params")) {
      job.command = Read(*node, "command");
      job.parameters = Read(*node, "args");
      job.user = Read(*node, "user");
      job.password = Read(*node, "pass");
      summary += Format("; Run command: '%s'", job.command.c_str());
      summary += Format("; Run args: '%s'", job.parameters.c_str());
      summary += Format("; Run user: '%s'", job.user.c_str());
      // A password never reaches a log file.
      summary += Format("; Run password: '%s'", job.password.empty() ? "" : "***");
    } else {
      lines.push_back("No 'params' node for run type monitor");
    }
  }
  if (job.type == CustomJob::Add || job.type == CustomJob::Edit || job.type == CustomJob::Delete) {
    if (auto node = root->Child("monitor")) {
      const std::string monitorId = Read(*node, "id");
      job.monitorId = ReadUnsigned32(monitorId);
      if (job.monitorId == 0xFFFFFFFFu) job.monitorId = 0;
      job.parameters = Read(*node, "paramsString");
      job.runnerFile = Read(*node, "runnerFile");
      if (job.maxParallelJobs == 1 && job.runnerFile.size() >= 15 &&
          EqualsNoCase(job.runnerFile.substr(0, 15), "snmpmonitor.exe"))
        job.maxParallelJobs = 200;
      summary += Format("; Montior ID: '%s'", monitorId.c_str());
      summary += Format("; Montior paramsString: '%s'", job.parameters.c_str());
      summary += Format("; Montior runner file: '%s'", job.runnerFile.c_str());
    } else {
      lines.push_back("No 'monitor' node for add, edit or remove type monitor");
    }
  }
  return job;
}
