// gateway_client: makes one agent exchange against a gateway on 127.0.0.1, with
// records built by corelib the way the agent builds them, and prints the reply
// ("status N", "session S" when the header came, "body TEXT" escaped) for the
// integration scripts.
//   gateway_client [--ca PEM] PORT PATH auth-key KEY NAME
//   gateway_client [--ca PEM] PORT PATH auth-account EMAIL DIGEST NAME
//   gateway_client [--ca PEM] PORT PATH data SESSION compressed|raw|bad-checksum|oversized
// With --ca the exchange is HTTPS and the server certificate is verified against PEM.
#include <httplib.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>

#include "corelib/MonResult2.h"
#include "tests/unit/fakes/sample_records.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: gateway_client [--ca PEM] PORT PATH auth-key KEY NAME\n"
          "       gateway_client [--ca PEM] PORT PATH auth-account EMAIL DIGEST NAME\n"
          "       gateway_client [--ca PEM] PORT PATH data SESSION compressed|raw|bad-checksum|oversized\n");
  return 2;
}


uLong adler(const std::string& bytes) {
  return adler32(adler32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes.data()),
                 static_cast<uInt>(bytes.size()));
}

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  std::string ca;
  if (argc > 2 && std::string(argv[1]) == "--ca") {
    ca = argv[2];
    i = 3;
  }
  if (argc - i < 4) return usage();
  int port = atoi(argv[i]);
  std::string path = argv[i + 1], mode = argv[i + 2];

  httplib::Headers headers = {{"Mon-Platform", "win64"}, {"Mon-Version", "4.02.14"}};
  std::string body;
  if (mode == "auth-key" && argc - i == 5) {
    headers.emplace("Mon-AKey", argv[i + 3]);
    headers.emplace("Mon-AName", argv[i + 4]);
  } else if (mode == "auth-account" && argc - i == 6) {
    headers.emplace("Mon-EMail", argv[i + 3]);
    headers.emplace("Mon-Pass", argv[i + 4]);
    headers.emplace("Mon-AName", argv[i + 5]);
  } else if (mode == "data" && argc - i == 5) {
    std::string kind = argv[i + 4];
    std::string raw = SampleRecords();
    uLong compression = 0, checksum = 0;
    if (kind == "compressed" || kind == "bad-checksum") {
      uLongf n = compressBound(raw.size());
      body.assign(n, '\0');
      if (compress2(reinterpret_cast<Bytef*>(&body[0]), &n, reinterpret_cast<const Bytef*>(raw.data()), raw.size(),
                    Z_DEFAULT_COMPRESSION) != Z_OK)
        return 1;
      body.resize(n);
      compression = raw.size();
      checksum = adler(body) + (kind == "bad-checksum" ? 1 : 0);
    } else if (kind == "raw") {
      body = raw;
    } else if (kind == "oversized") {
      body.assign((16u << 20) + 1, '\0');
    } else {
      return usage();
    }
    headers.emplace("Mon-SessionID", argv[i + 3]);
    headers.emplace("Mon-Compression", std::to_string(compression));
    headers.emplace("Mon-CheckSum", std::to_string(checksum));
  } else {
    return usage();
  }

  std::unique_ptr<httplib::ClientImpl> client;
  if (ca.empty()) {
    client = std::make_unique<httplib::ClientImpl>("127.0.0.1", port);
  } else {
    auto tls = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    tls->set_ca_cert_path(ca.c_str());
    tls->enable_server_certificate_verification(true);
    client = std::move(tls);
  }
  client->set_connection_timeout(5);
  client->set_read_timeout(10);
  client->set_write_timeout(10);
  httplib::Result res = client->Post(path.c_str(), headers, body, "application/octet-stream");
  if (!res) {
    printf("error %s\n", httplib::to_string(res.error()).c_str());
    return 1;
  }
  printf("status %d\n", res->status);
  if (res->has_header("Mon-SessionID")) printf("session %s\n", res->get_header_value("Mon-SessionID").c_str());
  printf("body %s\n", escaped(res->body).c_str());
  return 0;
}
