#pragma once
// Certificates for the TLS tests, made once per process with OpenSSL: a test
// CA and server certificates it signs for localhost, 127.0.0.1 and ::1 (good,
// expired, for another host name), and one from a CA nobody trusts. Keys are
// P-256; nothing is read from or written to the system's trust store.

#include <filesystem>
#include <string>

#include "support/LoopbackServer.h"

namespace sorvena::test {

struct TestPki {
    std::string caPem;                 // the trusted test CA
    std::filesystem::path caFile;      // caPem in a file of its own (removed at exit)
    TlsIdentity good;                  // localhost, 127.0.0.1, ::1; valid now
    TlsIdentity expired;               // the same names; expired yesterday
    TlsIdentity wrongHost;             // wrong.example only
    TlsIdentity unknownCa;             // the good names, signed by an untrusted CA
};

// Made on first use; thread-safe.
const TestPki& Pki();

// Points SSL_CERT_FILE at the test CA, so that GetHtml trusts it (and only
// it); call before the fetches, from the test's thread.
void TrustTestCa();

// Writes identity's certificate and key to dir/name.crt and dir/name.key.
void WriteIdentity(const TlsIdentity& identity, const std::filesystem::path& dir, const std::string& name);

}  // namespace sorvena::test
