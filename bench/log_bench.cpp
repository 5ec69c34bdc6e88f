// Cost of CLogWriter::AppendLogLine with two threads writing, with Trace 0 and
// Trace 10, over the machine's store: natively the in-memory store, under Wine
// the registry (one open-read-close of the Settings key per line). With Trace
// on, the run checks afterwards that every line reached the file.
//   bench_log [--lines N]   N lines per thread and run
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/LogWriter.h"
#include "platform/config_values.h"
#include "platform/local_time.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 2;

#ifdef _WIN32
constexpr const char* kStoreName = "registry";
constexpr long kDefaultLines = 20000;
constexpr long kTraceZeroFactor = 1;
#else
constexpr const char* kStoreName = "in-memory store";
constexpr long kDefaultLines = 1000000;
constexpr long kTraceZeroFactor = 4;  // Trace 0 is cheap: more lines for a steadier figure
#endif

// Puts Trace back as it was, and removes the keys the run created, so that a
// benchmark in the test prefix leaves it as the tests expect it.
class TraceSetting {
 public:
  explicit TraceSetting(platform::ConfigStore& store) : m_store(store) {
    std::unique_ptr<platform::ConfigKey> key;
    m_hadProduct = m_store.open_key(platform::kProductKeyPath, platform::ConfigAccess::Read, key) == 0;
    m_hadSettings = m_store.open_key(platform::kSettingsKeyPath, platform::ConfigAccess::Read, key) == 0;
    if (m_hadSettings) m_hadTrace = key->read(platform::kTraceValueName, m_type, m_old) == 0;
  }
  ~TraceSetting() {
    if (!m_hadProduct) {
      m_store.delete_tree("SOFTWARE", "Halvren");
    } else if (!m_hadSettings) {
      m_store.delete_tree(platform::kProductKeyPath, "Settings");
    } else {
      std::unique_ptr<platform::ConfigKey> key;
      if (m_store.open_key(platform::kSettingsKeyPath, platform::ConfigAccess::ReadWrite, key) != 0) return;
      if (m_hadTrace) {
        key->write(platform::kTraceValueName, m_type, m_old.data(), m_old.size());
      } else {
        key->delete_value(platform::kTraceValueName);
      }
    }
  }
  bool set(uint32_t level) {
    std::unique_ptr<platform::ConfigKey> key;
    if (m_store.create_key(platform::kSettingsKeyPath, key) != 0) return false;
    auto data = platform::encode_dword(level);
    return key->write(platform::kTraceValueName, platform::kTypeDword, data.data(), data.size()) == 0;
  }

 private:
  platform::ConfigStore& m_store;
  bool m_hadProduct = false, m_hadSettings = false, m_hadTrace = false;
  uint32_t m_type = 0;
  std::vector<uint8_t> m_old;
};

long count_lines(const std::filesystem::path& folder) {
  long lines = 0;
  std::vector<char> buffer(1 << 20);
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream in(entry.path(), std::ios::binary);
    while (in) {
      in.read(buffer.data(), buffer.size());
      lines += std::count(buffer.data(), buffer.data() + in.gcount(), '\n');
    }
  }
  return lines;
}

// Returns false when lines were lost.
bool run(platform::ConfigStore& store, TraceSetting& trace, uint32_t level, long lines) {
  std::random_device random;
  std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("halvren-bench-" + std::to_string(random()));
  std::filesystem::create_directories(folder);
  const std::string folderText = (folder / "").string();
  if (!trace.set(level)) {
    std::printf("cannot set Trace\n");
    return false;
  }

  bool complete = true;
  {
    CLogWriter writer("monintagent_", store, [&folderText] { return folderText; });
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        char text[64];
        ++ready;
        while (!go) std::this_thread::yield();
        for (long i = 0; i < lines; ++i) {
          std::snprintf(text, sizeof(text), "mon_cpu: thread %d line %ld load 42%%", t, i);
          writer.AppendLogLine(text);
        }
      });
    }
    while (ready < kThreads) std::this_thread::yield();
    auto start = Clock::now();
    go = true;
    for (auto& thread : threads) thread.join();
    auto appended = Clock::now();
    writer.Stop();  // the last dump: everything pending goes to the file
    auto flushed = Clock::now();

    const double total = static_cast<double>(lines) * kThreads;
    const double appendSeconds = std::chrono::duration<double>(appended - start).count();
    const double allSeconds = std::chrono::duration<double>(flushed - start).count();
    std::printf("%-16s Trace %2u: %9.0f ns/line per thread, %10.0f lines/s (2 threads, %.0f lines in %.3f s)",
                kStoreName, level, appendSeconds * 1e9 * kThreads / total, total / appendSeconds, total,
                appendSeconds);
    if (level != 0) {
      long inFile = count_lines(folder);
      complete = inFile == static_cast<long>(total);
      std::printf("; %.0f lines/s to the file, %ld of %.0f lines in it%s", total / allSeconds, inFile, total,
                  complete ? "" : " -- LINES LOST");
    } else {
      complete = std::filesystem::is_empty(folder);
      if (!complete) std::printf("; a file was written with Trace 0");
    }
    std::printf("\n");
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return complete;
}

}  // namespace

int main(int argc, char** argv) {
  long lines = kDefaultLines;
  if (argc == 3 && std::strcmp(argv[1], "--lines") == 0) lines = std::max(1L, std::atol(argv[2]));
  platform::ConfigStore& store = platform::machine_config_store();
  TraceSetting trace(store);
  bool ok = run(store, trace, 0, lines * kTraceZeroFactor);
  ok = run(store, trace, 10, lines) && ok;
  return ok ? 0 : 1;
}
