#include "tools/devgateway/self_signed.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace devgw {

namespace {

std::string openssl_error(const char* what) {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  return std::string(what) + ": " + text;
}

bool add_extension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

SelfSignedIdentity::~SelfSignedIdentity() {
  X509_free(m_cert);
  EVP_PKEY_free(m_key);
}

bool SelfSignedIdentity::make(int days, std::string& error) {
  // RSA rather than EC: every TLS stack the agent may run on accepts it.
  m_key = EVP_RSA_gen(2048);
  if (!m_key) {
    error = openssl_error("key generation");
    return false;
  }
  m_cert = X509_new();
  if (!m_cert) {
    error = openssl_error("certificate");
    return false;
  }
  unsigned char serial[8];
  if (RAND_bytes(serial, sizeof serial) != 1) {
    error = openssl_error("serial number");
    return false;
  }
  serial[0] &= 0x7F;  // a positive serial
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(m_cert));
  BN_free(bn);
  X509_NAME* name = X509_get_subject_name(m_cert);
  ok = ok && X509_set_version(m_cert, 2) &&
       X509_gmtime_adj(X509_getm_notBefore(m_cert), -3600) &&
       X509_gmtime_adj(X509_getm_notAfter(m_cert), 86400L * days) &&
       X509_set_pubkey(m_cert, m_key) &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("Halvren development gateway"),
                                  -1, -1, 0) &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0) &&
       X509_set_issuer_name(m_cert, name) &&
       add_extension(m_cert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
       add_extension(m_cert, NID_basic_constraints, "critical,CA:TRUE") &&
       add_extension(m_cert, NID_key_usage, "critical,digitalSignature,keyEncipherment,keyCertSign") &&
       add_extension(m_cert, NID_ext_key_usage, "serverAuth") &&
       add_extension(m_cert, NID_subject_key_identifier, "hash") &&
       X509_sign(m_cert, m_key, EVP_sha256()) > 0;
  if (!ok) error = openssl_error("certificate");
  return ok;
}

std::string SelfSignedIdentity::certificatePem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return {};
  std::string pem;
  if (PEM_write_bio_X509(bio, m_cert)) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    if (n > 0) pem.assign(data, static_cast<size_t>(n));
  }
  BIO_free(bio);
  return pem;
}

}  // namespace devgw
