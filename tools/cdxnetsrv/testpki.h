// Certificates for the transport test servers, made at run time: a test CA,
// server certificates it signs (a good one, one for another name, an
// expired one), a self-signed one, and a second CA that nobody trusts.
// Keys are EC P-256; files are PEM.
#pragma once
#include <string>

namespace cdxnet {

struct CertPair {
  std::string cert;
  std::string key;
};

struct TestPki {
  std::string caCert;      // the CA that clients are told to trust
  CertPair server;         // by the CA, for IP 127.0.0.2 and DNS "cdx-test"
  CertPair wrongName;      // by the CA, for IP 127.0.0.3 and DNS "other-host"
  CertPair expired;        // by the CA, for 127.0.0.2, expired yesterday
  CertPair selfSigned;     // self-signed, for 127.0.0.2
  CertPair otherCa;        // by an untrusted CA, for 127.0.0.2
};

// Writes the set into dir (which must exist). Throws std::runtime_error.
TestPki MakeTestPki(const std::string& dir);

}  // namespace cdxnet
