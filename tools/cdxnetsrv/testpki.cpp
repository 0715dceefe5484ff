#include "tools/cdxnetsrv/testpki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>

namespace cdxnet {
namespace {

long g_serial = 1;

EVP_PKEY* NewKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("EC key generation failed");
  return key;
}

void AddExt(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
  if (!ext || !X509_add_ext(cert, ext, -1)) throw std::runtime_error(std::string("extension ") + value);
  X509_EXTENSION_free(ext);
}

// issuer null: self-signed.
X509* MakeCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, const char* san, bool ca,
               long fromDays, long toDays) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), g_serial++);
  X509_gmtime_adj(X509_getm_notBefore(x), fromDays * 86400L);
  X509_gmtime_adj(X509_getm_notAfter(x), toDays * 86400L);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer ? issuer : x, x, nullptr, nullptr, 0);
  AddExt(x, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
  if (ca) AddExt(x, &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  AddExt(x, &ctx, NID_subject_key_identifier, "hash");
  if (issuer) AddExt(x, &ctx, NID_authority_key_identifier, "keyid");
  if (san) AddExt(x, &ctx, NID_subject_alt_name, san);
  if (!X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256())) throw std::runtime_error("certificate signing failed");
  return x;
}

void WriteCert(const std::string& path, X509* cert) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f || !PEM_write_X509(f, cert)) throw std::runtime_error("cannot write " + path);
  fclose(f);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
  FILE* f = fopen(path.c_str(), "w");
  if (!f || !PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr))
    throw std::runtime_error("cannot write " + path);
  fclose(f);
}

CertPair Leaf(const std::string& dir, const char* stem, const char* san, X509* issuer, EVP_PKEY* issuerKey,
              long fromDays, long toDays) {
  EVP_PKEY* key = NewKey();
  X509* cert = MakeCert(key, stem, issuer, issuerKey, san, false, fromDays, toDays);
  CertPair out{dir + "/" + stem + ".pem", dir + "/" + stem + ".key"};
  WriteCert(out.cert, cert);
  WriteKey(out.key, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  return out;
}

}  // namespace

TestPki MakeTestPki(const std::string& dir) {
  TestPki pki;
  EVP_PKEY* caKey = NewKey();
  X509* ca = MakeCert(caKey, "cdx test CA", nullptr, nullptr, nullptr, true, -1, 30);
  pki.caCert = dir + "/ca.pem";
  WriteCert(pki.caCert, ca);
  EVP_PKEY* otherKey = NewKey();
  X509* other = MakeCert(otherKey, "untrusted CA", nullptr, nullptr, nullptr, true, -1, 30);

  pki.server = Leaf(dir, "server", "IP:127.0.0.2,DNS:cdx-test", ca, caKey, -1, 30);
  pki.wrongName = Leaf(dir, "wrongname", "IP:127.0.0.3,DNS:other-host", ca, caKey, -1, 30);
  pki.expired = Leaf(dir, "expired", "IP:127.0.0.2,DNS:cdx-test", ca, caKey, -30, -1);
  pki.selfSigned = Leaf(dir, "selfsigned", "IP:127.0.0.2,DNS:cdx-test", nullptr, nullptr, -1, 30);
  pki.otherCa = Leaf(dir, "otherca", "IP:127.0.0.2,DNS:cdx-test", other, otherKey, -1, 30);

  X509_free(ca);
  X509_free(other);
  EVP_PKEY_free(caKey);
  EVP_PKEY_free(otherKey);
  return pki;
}

}  // namespace cdxnet
