// A stand-in gateway for the exchange tests of the Windows build: plain HTTP
// and HTTPS (a self-signed certificate made at start) on 127.0.0.1, each on a
// free port. Prints "http=PORT https=PORT" on one line once both listen, then
// serves until SIGTERM or SIGINT, or until --lifetime seconds have passed.
//
//   POST /session/N  Mon-SessionID of N characters, body "session"
//   POST /session-value/HEX  Mon-SessionID of the bytes HEX spells, written
//                    as they are (a line break or a bare CR included)
//   POST /big/N      a body of N bytes ('a' + i % 26)
//   POST /status/N   status N, body "status N"
//   POST /hang/N     answers after N seconds (or when the server stops)
//   POST anything    echo: Mon-SessionID "echo-session"; the body lists the
//                    request target, every header and the body in hex
// The library's build options (TLS among them) come with its pkg-config flags.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "tools/devgateway/self_signed.h"

namespace {

std::atomic<bool> g_signalled{false};
void OnSignal(int) { g_signalled = true; }

// Held-up answers end when the server stops, so stopping never waits long.
std::mutex g_hangMutex;
std::condition_variable g_hangRelease;
bool g_stopping = false;

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

size_t Number(const httplib::Request& req) { return std::strtoul(req.matches[1].str().c_str(), nullptr, 10); }

void AddRoutes(httplib::Server& server) {
  server.Post(R"(/session/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    std::string id;
    for (size_t i = 0; i < Number(req); ++i) id += static_cast<char>('0' + i % 10);
    res.set_header("Mon-SessionID", id);
    res.set_content("session", "text/plain");
  });
  server.Post(R"(/session-value/([0-9a-f]*))", [](const httplib::Request& req, httplib::Response& res) {
    const std::string hex = req.matches[1].str();
    std::string value;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      value += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    // Straight into the header list: set_header refuses line breaks, and
    // sending them is the point.
    res.headers.emplace("Mon-SessionID", value);
    res.set_content("session", "text/plain");
  });
  server.Post(R"(/big/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    std::string body(Number(req), '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    res.set_content(body, "text/plain");
  });
  server.Post(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    res.status = static_cast<int>(Number(req));
    res.set_content("status " + std::to_string(res.status), "text/plain");
  });
  server.Post(R"(/hang/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
    std::unique_lock<std::mutex> lock(g_hangMutex);
    g_hangRelease.wait_for(lock, std::chrono::seconds(Number(req)), [] { return g_stopping; });
    res.set_content("late", "text/plain");
  });
  server.Post(".*", [](const httplib::Request& req, httplib::Response& res) {
    std::string text = "target=" + req.target + "\n";
    for (const auto& header : req.headers) text += header.first + ": " + header.second + "\n";
    text += "body=" + Hex(req.body) + "\n";
    res.set_header("Mon-SessionID", "echo-session");
    res.set_content(text, "text/plain");
  });
}

}  // namespace

int main(int argc, char** argv) {
  int lifetime = 300;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--lifetime=", 11) == 0) lifetime = std::atoi(argv[i] + 11);

  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);

  devgw::SelfSignedIdentity identity;
  std::string error;
  if (!identity.make(1, error)) {
    std::fprintf(stderr, "gateway_test_server: cannot make a certificate: %s\n", error.c_str());
    return 1;
  }
  httplib::Server plain;
  httplib::SSLServer secure(identity.certificate(), identity.key());  // takes its own references
  if (!secure.is_valid()) {
    std::fprintf(stderr, "gateway_test_server: TLS set-up failed\n");
    return 1;
  }
  AddRoutes(plain);
  AddRoutes(secure);
  const int httpPort = plain.bind_to_any_port("127.0.0.1");
  const int httpsPort = secure.bind_to_any_port("127.0.0.1");
  if (httpPort <= 0 || httpsPort <= 0) {
    std::fprintf(stderr, "gateway_test_server: cannot listen\n");
    return 1;
  }
  std::thread plainThread([&] { plain.listen_after_bind(); });
  std::thread secureThread([&] { secure.listen_after_bind(); });
  std::printf("http=%d https=%d\n", httpPort, httpsPort);
  std::fflush(stdout);

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  while (!g_signalled && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  {
    std::lock_guard<std::mutex> lock(g_hangMutex);
    g_stopping = true;
  }
  g_hangRelease.notify_all();
  plain.stop();
  secure.stop();
  plainThread.join();
  secureThread.join();
  return 0;
}
