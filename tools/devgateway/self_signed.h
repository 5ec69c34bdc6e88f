// A throw-away TLS identity for the development gateway: an RSA key and a
// self-signed certificate for 127.0.0.1 and localhost, made in memory at start
// so that nothing but the OpenSSL library is needed.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

namespace devgw {

class SelfSignedIdentity {
 public:
  SelfSignedIdentity() = default;
  ~SelfSignedIdentity();
  SelfSignedIdentity(const SelfSignedIdentity&) = delete;
  SelfSignedIdentity& operator=(const SelfSignedIdentity&) = delete;

  // Valid from an hour ago (clock skew) for `days` days.
  bool make(int days, std::string& error);
  X509* certificate() const { return m_cert; }
  EVP_PKEY* key() const { return m_key; }
  std::string certificatePem() const;

 private:
  X509* m_cert = nullptr;
  EVP_PKEY* m_key = nullptr;
};

}  // namespace devgw
