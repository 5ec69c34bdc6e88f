// devgateway: plays the agent gateway on 127.0.0.1 for development, the demo
// and the integration tests. The HTTP side lives here; what an exchange means
// is GatewayLogic's business.
#include <arpa/inet.h>
#include <dirent.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "tools/devgateway/custom_api_server.h"
#include "tools/devgateway/exchange_log.h"
#include "tools/devgateway/gateway_logic.h"
#include "tools/devgateway/gateway_plan.h"
#include "tools/devgateway/self_signed.h"

namespace {

const char* const kUsage =
    "usage: devgateway [options]\n"
    "Plays the agent gateway on 127.0.0.1 over HTTP or HTTPS.\n"
    "\n"
    "  --port N              port (default 0: a free one, shown on the first line)\n"
    "  --path P              request path (default /fcgi-bin/agentgateway)\n"
    "  --https               TLS with a self-signed certificate made at start\n"
    "  --cert-out FILE       write that certificate (PEM) to FILE\n"
    "  --port-file FILE      write the chosen port to FILE\n"
    "  --key K               accept key authorisation with agent key K\n"
    "  --email E             accept account authorisation with e-mail E ...\n"
    "  --password-digest D   ... and Mon-Pass D (MD5 hex; default: that of the empty\n"
    "                        password, d41d8cd98f00b204e9800998ecf8427e)\n"
    "  --password P          ... and the MD5 digest of P\n"
    "  --name N              accept only agent name N (default: any)\n"
    "                        With neither --key nor --email any credentials pass.\n"
    "  --status N            answer every authorisation with HTTP N (400..599) and\n"
    "                        no session; also the answer to bad credentials (401)\n"
    "  --reply-session V     answer authorisations with Mon-SessionID V instead of a\n"
    "                        new session (666666: stop the agent, 111111: server error)\n"
    "  --plan FILE           reply plan (below)\n"
    "  --json FILE           append one JSON object per exchange and per record\n"
    "  --max-exchanges N     stop after N exchanges\n"
    "  --seconds N           stop after N seconds\n"
    "  --serve PATH=FILE     answer GET PATH with FILE, read at each request\n"
    "                        (repeatable); a GET nothing serves gets 404\n"
    "  --help                this text\n"
    "\n"
    "Plan file: groups of lines, one group per reply. A line is sent as written\n"
    "(TAB-separated fields, e.g. \"POL<TAB>0<TAB>120\"); the lines of a group are\n"
    "joined by line feeds. A line \"---\" ends a group (even an empty one), a blank\n"
    "line ends a non-empty one, \"#\" starts a comment. In lines and !session\n"
    "values \\r is a carriage return, \\\\ a backslash, \\0 a zero byte (lines only).\n"
    "Directives in a group:\n"
    "  !auth        the group answers the next authorisation (else the next data\n"
    "               request); authorisations without one get an empty body\n"
    "  !status N    answer with HTTP status N\n"
    "  !session V   send Mon-SessionID V (\"!session\" alone: none)\n"
    "  !hang S      wait S seconds (at most 600) before answering\n"
    "  !down S      after this reply accept no connection for S seconds (at most\n"
    "               600); the sessions handed out stay valid\n"
    "  !reset       announce the whole body, send part of it, reset the connection\n"
    "  !upd V L     adds the line UPD<TAB>V<TAB>L; an L starting with \"/\" is\n"
    "               completed to devgateway's own address (http[s]://127.0.0.1:PORT)\n"
    "Once a list is used up, replies are empty with status 200. Requests that are\n"
    "refused (bad credentials, unknown session, bad checksum or body) take no group.\n"
    "\n"
    "stdout: the listening line, then per exchange one line\n"
    "  exchange N: auth|data|unknown, Mon-* (and Content-Type, User-Agent) headers, body B bytes, records M, status S, ...\n"
    "followed by one \"record: TEXT\" line per record of a data request.\n";

// HTTP bodies above this never reach the logic (httplib answers 413).
constexpr size_t kMaxRequestBytes = devgw::kMaxBodyBytes;

struct Options {
  int port = 0;
  std::string path = "/fcgi-bin/agentgateway";
  bool https = false;
  std::string certOut, portFile, planFile, jsonFile;
  uint64_t maxExchanges = 0;  // 0: no limit
  uint64_t seconds = 0;       // 0: no limit
  devgw::GatewayConfig config;
  devgw::ApiOptions api;
  std::vector<std::pair<std::string, std::string>> served;  // --serve PATH=FILE
};

int usage_error(const std::string& message) {
  fprintf(stderr, "devgateway: %s\n(see devgateway --help)\n", message.c_str());
  return 2;
}

bool is_hex_digest(const std::string& d) {
  if (d.size() != 32) return false;
  for (char c : d)
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

// Returns -1 when the options are fine, otherwise the exit code.
int parse_options(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      fputs(devgw::kApiUsage, stdout);
      return 0;
    }
    if (a == "--https") {
      o.https = true;
      continue;
    }
    if (i + 1 >= argc) return usage_error("missing value after " + a);
    std::string v = argv[++i];
    uint64_t n = 0;
    if (a == "--port") {
      if (!devgw::parse_decimal(v, 65535, n)) return usage_error("bad port '" + v + "'");
      o.port = static_cast<int>(n);
    } else if (a == "--path") {
      if (v.empty() || v[0] != '/') return usage_error("the path must start with '/'");
      o.path = v;
    } else if (a == "--cert-out") {
      o.certOut = v;
    } else if (a == "--port-file") {
      o.portFile = v;
    } else if (a == "--key") {
      o.config.key = v;
    } else if (a == "--email") {
      o.config.email = v;
    } else if (a == "--password-digest") {
      if (!is_hex_digest(v)) return usage_error("--password-digest needs 32 hex digits");
      o.config.passwordDigest = v;
    } else if (a == "--password") {
      o.config.passwordDigest = devgw::md5_hex(v);
    } else if (a == "--name") {
      o.config.name = v;
    } else if (a == "--status") {
      if (!devgw::parse_decimal(v, 599, n) || n < 400) return usage_error("--status needs 400..599");
      o.config.authStatus = static_cast<int>(n);
    } else if (a == "--reply-session") {
      if (v.empty() || v.size() > 127) return usage_error("--reply-session needs 1 to 127 characters");
      o.config.replySession = v;
    } else if (a == "--plan") {
      o.planFile = v;
    } else if (a == "--json") {
      o.jsonFile = v;
    } else if (a == "--max-exchanges") {
      if (!devgw::parse_decimal(v, UINT32_MAX, n) || n == 0) return usage_error("bad --max-exchanges");
      o.maxExchanges = n;
    } else if (a == "--seconds") {
      if (!devgw::parse_decimal(v, 7 * 86400, n) || n == 0) return usage_error("bad --seconds");
      o.seconds = n;
    } else if (a == "--serve") {
      const size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0 || v[0] != '/' || eq + 1 == v.size())
        return usage_error("--serve needs PATH=FILE with a PATH starting with '/'");
      o.served.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (devgw::is_api_option(a)) {
      std::string error;
      if (!devgw::parse_api_option(a, v, o.api, error)) return usage_error(error);
    } else {
      return usage_error("unknown option " + a);
    }
  }
  if (o.https == false && !o.certOut.empty()) return usage_error("--cert-out needs --https");
  return -1;
}

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  return !in.bad();
}

// Written next to the target and renamed, so a reader never sees half a file.
bool write_file(const std::string& path, const std::string& text) {
  std::string temp = path + ".tmp";
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = fclose(f) == 0 && ok;
  return ok && rename(temp.c_str(), path.c_str()) == 0;
}

// httplib routes by regular expression; the path is literal.
std::string regex_literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '/' && c != '_' && c != '-') out += '\\';
    out += c;
  }
  return out;
}

// Set per request by our handler so the logger can name what httplib answered
// on its own (wrong path or method, oversized body).
thread_local bool t_handled = false;

// SO_LINGER 0 on the socket between 127.0.0.1:ourPort and the peer's port.
void linger_zero_on(int peerPort, int ourPort) {
  DIR* fds = opendir("/proc/self/fd");
  if (!fds) return;
  while (dirent* e = readdir(fds)) {
    const int fd = atoi(e->d_name);
    if (fd <= 2) continue;
    sockaddr_in local{}, peer{};
    socklen_t n1 = sizeof local, n2 = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n1) != 0 || local.sin_family != AF_INET)
      continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n2) != 0) continue;
    if (ntohs(local.sin_port) != ourPort || ntohs(peer.sin_port) != peerPort) continue;
    linger off{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
  }
  closedir(fds);
}

// "!reset": the reply announces its whole body, sends the first half (at
// least one byte short), and the connection is then reset: SO_LINGER 0 on
// this exchange's socket, found by its two ports, makes the library's close
// send a reset instead of an orderly end.
void reset_after_part(httplib::Response& res, const std::string& body, int peerPort, int ourPort) {
  const size_t part = body.empty() ? 0 : body.size() / 2;
  res.set_content_provider(body.size() + (body.empty() ? 1 : 0), "text/plain",
                           [body, part, peerPort, ourPort](size_t, size_t, httplib::DataSink& sink) {
                             if (part) sink.write(body.data(), part);
                             // Let the client take what was sent before the reset.
                             std::this_thread::sleep_for(std::chrono::milliseconds(300));
                             linger_zero_on(peerPort, ourPort);
                             return false;  // the library gives up and closes
                           });
}

class Output {
 public:
  bool openJson(const std::string& path) {
    m_json = fopen(path.c_str(), "a");
    return m_json != nullptr;
  }
  ~Output() {
    if (m_json) fclose(m_json);
  }
  void line(const std::string& text) {
    fputs(text.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
  void json(const std::string& text) {
    if (!m_json) return;
    fputs(text.c_str(), m_json);
    fputc('\n', m_json);
    fflush(m_json);
  }
  void exchange(const devgw::Exchange& ex) {
    line(devgw::exchange_line(ex));
    json(devgw::exchange_json(ex));
    for (const auto& r : ex.records) {
      line(devgw::record_line(r));
      json(devgw::record_json(ex.number, r));
    }
  }

 private:
  FILE* m_json = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int rc = parse_options(argc, argv, opt);
  if (rc >= 0) return rc;

  devgw::Plan plan;
  if (!opt.planFile.empty()) {
    std::string text, error;
    if (!read_file(opt.planFile, text)) return usage_error("cannot read plan " + opt.planFile);
    if (!devgw::parse_plan(text, plan, error)) return usage_error(opt.planFile + ": " + error);
  }
  Output out;
  if (!opt.jsonFile.empty() && !out.openJson(opt.jsonFile))
    return usage_error("cannot open " + opt.jsonFile + ": " + strerror(errno));

  // Signals are taken by the main thread with sigtimedwait; block them before
  // httplib starts its workers so none of those gets one.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-reply

  devgw::SelfSignedIdentity identity;
  if (opt.https) {
    std::string error;
    if (!identity.make(30, error)) {
      fprintf(stderr, "devgateway: %s\n", error.c_str());
      return 1;
    }
    if (!opt.certOut.empty() && !write_file(opt.certOut, identity.certificatePem())) {
      fprintf(stderr, "devgateway: cannot write %s\n", opt.certOut.c_str());
      return 1;
    }
  }

  devgw::GatewayLogic logic(opt.config, std::move(plan));
  std::mutex outputLock;  // one exchange's lines stay together, in exchange order
  std::mutex stopLock;
  std::condition_variable stopWake;
  std::atomic<bool> stopping{false};
  std::atomic<bool> enough{false};
  std::atomic<unsigned> downRequested{0};  // "!down S": the main loop closes the listener
  devgw::CustomApiLogic api(opt.api.config);
  devgw::ApiServing serving;
  serving.output = [&](const std::string& line, const std::string& json) {
    std::lock_guard<std::mutex> hold(outputLock);
    out.line(line);
    out.json(json);
  };
  serving.hang = [&](unsigned seconds) {
    std::unique_lock<std::mutex> hold(stopLock);
    stopWake.wait_for(hold, std::chrono::seconds(seconds), [&] { return stopping.load(); });
  };
  serving.handled = [] { t_handled = true; };
  int port = opt.port;

  // A server with the handlers; made again after a "!down", on the same port,
  // with the same gateway logic (so the sessions it handed out stay valid).
  auto make_server = [&]() -> std::unique_ptr<httplib::Server> {
    std::unique_ptr<httplib::Server> server;
    if (opt.https)
      server = std::make_unique<httplib::SSLServer>(identity.certificate(), identity.key());
    else
      server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) return nullptr;
    server->set_payload_max_length(kMaxRequestBytes);
    server->Post(regex_literal(opt.path), [&](const httplib::Request& req, httplib::Response& res) {
      t_handled = true;
      devgw::GatewayRequest request;
      for (const auto& h : req.headers) request.headers.emplace_back(h.first, h.second);
      request.body = req.body;
      devgw::Exchange ex;
      {
        std::lock_guard<std::mutex> hold(outputLock);
        ex = logic.handle(request);
        out.exchange(ex);
      }
      if (ex.reply.hangSeconds) {
        std::unique_lock<std::mutex> hold(stopLock);
        stopWake.wait_for(hold, std::chrono::seconds(ex.reply.hangSeconds), [&] { return stopping.load(); });
      }
      res.status = ex.reply.status;
      // Put in directly: set_header drops a value with a carriage return, and a
      // plan may send one on purpose.
      if (ex.reply.session) res.headers.emplace("Mon-SessionID", *ex.reply.session);
      if (ex.reply.reset) {
        reset_after_part(res, ex.reply.body, req.remote_port, port);
      } else {
        res.set_content(ex.reply.body, "text/plain");
      }
      if (ex.reply.downSeconds) downRequested = ex.reply.downSeconds;
      // Counted once answered, so the last exchange's hang is not cut short.
      if (opt.maxExchanges && ex.number >= opt.maxExchanges) enough = true;
    });
    server->set_logger([&](const httplib::Request& req, const httplib::Response& res) {
      if (!t_handled) {
        std::lock_guard<std::mutex> hold(outputLock);
        out.line("request " + devgw::printable(req.method) + " " + devgw::printable(req.path) +
                 ": not an exchange, status " + std::to_string(res.status));
      }
      t_handled = false;
    });
    devgw::serve_custom_api(*server, opt.api.path, api, serving);
    for (const auto& served : opt.served) {
      const std::string path = served.first, file = served.second;
      server->Get(regex_literal(path), [&, path, file](const httplib::Request&, httplib::Response& res) {
        t_handled = true;
        std::string data;
        const bool found = read_file(file, data);
        res.status = found ? 200 : 404;
        if (found) res.set_content(data, "application/zip");
        std::lock_guard<std::mutex> hold(outputLock);
        out.line("serve GET " + devgw::printable(path) + ": " +
                 (found ? std::to_string(data.size()) + " bytes" : std::string("404, cannot read the file")));
      });
    }
    return server;
  };

  std::unique_ptr<httplib::Server> server = make_server();
  if (!server) {
    fprintf(stderr, "devgateway: the server could not be set up\n");
    return 1;
  }
  if (port == 0) {
    port = server->bind_to_any_port("127.0.0.1");
    if (port <= 0) {
      fprintf(stderr, "devgateway: cannot bind to 127.0.0.1\n");
      return 1;
    }
  } else if (!server->bind_to_port("127.0.0.1", port)) {
    fprintf(stderr, "devgateway: cannot bind to 127.0.0.1:%d\n", port);
    return 1;
  }
  if (!opt.portFile.empty() && !write_file(opt.portFile, std::to_string(port) + "\n")) {
    fprintf(stderr, "devgateway: cannot write %s\n", opt.portFile.c_str());
    return 1;
  }
  const std::string base = std::string(opt.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
  logic.setBaseUrl(base);
  out.line("devgateway listening on " + base + opt.path);
  if (opt.config.anyCredentials()) out.line("devgateway: accepting any credentials");

  std::atomic<bool> listenerDone{false};
  std::thread listener;
  auto start_listener = [&] {
    listenerDone = false;
    listener = std::thread([&] {
      server->listen_after_bind();
      listenerDone = true;
    });
  };
  // stop() does nothing before the listener runs and must not be called twice,
  // so wait (briefly) for it to run first.
  auto stop_listener = [&] {
    for (int i = 0; i < 500 && !server->is_running() && !listenerDone; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!listenerDone) server->stop();
    listener.join();
  };
  start_listener();

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opt.seconds);
  std::string reason;
  std::chrono::steady_clock::time_point upAgain{};
  bool down = false;
  auto stop_reason = [&](int sig) {
    if (sig > 0) return std::string(sig == SIGINT ? "SIGINT" : "SIGTERM");
    if (enough) return "after " + std::to_string(opt.maxExchanges) + " exchanges";
    if (opt.seconds && std::chrono::steady_clock::now() >= deadline)
      return "after " + std::to_string(opt.seconds) + " seconds";
    if (!down && listenerDone) return std::string("listener ended");
    return std::string();
  };
  while (reason.empty()) {
    timespec tick{0, 100 * 1000 * 1000};
    reason = stop_reason(sigtimedwait(&stopSignals, nullptr, &tick));
    if (!reason.empty()) break;
    if (unsigned seconds = downRequested.exchange(0); seconds != 0 && !down) {
      // Connections are refused from now on; the sessions stay in `logic`.
      stop_listener();
      server.reset();
      down = true;
      upAgain = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
      std::lock_guard<std::mutex> hold(outputLock);
      out.line("devgateway down for " + std::to_string(seconds) + " s");
    } else if (down && std::chrono::steady_clock::now() >= upAgain) {
      server = make_server();
      bool bound = false;
      for (int i = 0; i < 50 && server && !(bound = server->bind_to_port("127.0.0.1", port)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!bound) {
        reason = "cannot listen again on port " + std::to_string(port);
        server.reset();
        break;
      }
      down = false;
      start_listener();
      std::lock_guard<std::mutex> hold(outputLock);
      out.line("devgateway listening again on port " + std::to_string(port));
    }
  }
  {
    std::lock_guard<std::mutex> hold(stopLock);
    stopping = true;
  }
  stopWake.notify_all();
  if (server) stop_listener();
  out.line("devgateway stopped (" + reason + "), " + std::to_string(logic.planGroupsLeft()) +
           " plan groups unused");
  return 0;
}
