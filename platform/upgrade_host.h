// What the agent's upgrade needs from the system besides process starts (those
// go through platform/custom_runtime.h): one HTTP GET whose body is read in
// pieces, the temporary archive file, the protected unpack folder and a few
// file checks. The Windows implementation is platform/win32/upgrade_host_win32
// (the GET on the custom API client's WinHTTP unit); tests hand in a fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

// The unpack folder's access: protected (nothing inherited), full control for
// the system and the administrators only, handed down to what is made inside.
constexpr const char* kUnpackFolderAccess = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

struct PackageGetSpec {
  std::string url;  // UTF-8, with its scheme
  std::string userAgent;
  std::string proxy;    // a named proxy; empty: the system's default access
  std::string headers;  // "Name: value\r\n" lines
  // A refused certificate is retried once with the relaxed checks.
  bool ignoreCertErrors = false;
  // Every blocking call of the GET returns by then.
  std::chrono::steady_clock::time_point deadline;
};

// The step of the GET that failed; the agent names each in its log.
enum class PackageGetStep { None, CrackUrl, Open, Connect, OpenRequest, Send, Receive };

struct PackageGetReply {
  PackageGetStep failed = PackageGetStep::None;
  uint32_t error = 0;         // of the failed step
  bool relaxedRetry = false;  // the first send was refused for its certificate and sent again
  uint32_t status = 0;        // the HTTP status, once received
  int64_t contentLength = -1;  // -1: the reply names none
};

// One download. Send and Read run on the upgrade thread; Abort may come from
// any thread at any time and makes a blocking call return with an error.
class IPackageGet {
 public:
  virtual ~IPackageGet() = default;
  virtual PackageGetReply Send(const PackageGetSpec& spec) = 0;
  // Up to `size` bytes of the body; `got` 0 marks its end.
  virtual bool Read(char* into, uint32_t size, uint32_t& got, uint32_t& error) = 0;
  virtual void Abort() = 0;
};

// The archive being written; closed when destroyed.
class IArchiveFile {
 public:
  virtual ~IArchiveFile() = default;
  virtual bool Write(const char* data, uint32_t size, uint32_t& error) = 0;
};

class IUpgradeHost {
 public:
  virtual ~IUpgradeHost() = default;
  virtual std::unique_ptr<IPackageGet> NewGet() = 0;
  // The proxy the current user configured, empty when none is named.
  virtual std::string UserProxy() = 0;
  // The system's message for an error code (WinHTTP's included); never empty.
  virtual std::string ErrorText(uint32_t error) = 0;
  // A new unique "mon*.tmp" in the temporary folder; the file exists afterwards.
  virtual bool MakeTempFile(std::string& path, uint32_t& error) = 0;
  // Opens `path` for writing, unshared, replacing what is there.
  virtual std::unique_ptr<IArchiveFile> CreateArchive(const std::string& path, uint32_t& error) = 0;
  virtual void RemoveArchive(const std::string& path) = 0;
  // Creates `path` with kUnpackFolderAccess; fails when anything is there already.
  virtual bool CreateUnpackFolder(const std::string& path, uint32_t& error) = 0;
  // A file that is not a folder.
  virtual bool IsFile(const std::string& path) = 0;
  virtual void DeleteTree(const std::string& path) = 0;
  // The folder of the running program, without a trailing separator.
  virtual std::string AgentFolder() = 0;
};

}  // namespace platform
