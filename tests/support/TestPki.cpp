#include "support/TestPki.h"

#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace sorvena::test {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long Day = 24 * 60 * 60;
constexpr const char* GoodNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

Key newKey()
{
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key) throw std::runtime_error("cannot make a key");
    return key;
}

void addExtension(X509* cert, X509V3_CTX& ctx, int nid, const char* value)
{
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext || X509_add_ext(cert, ext, -1) != 1) throw std::runtime_error("cannot add an extension");
    X509_EXTENSION_free(ext);
}

// A certificate for key with common name cn, valid from notBefore to
// notAfter seconds from now, signed by issuer (itself when null). A CA when
// names is null, otherwise a server certificate for names.
Cert newCert(EVP_PKEY* key, const char* cn, X509* issuer, EVP_PKEY* issuerKey, const char* names, long notBefore,
             long notAfter)
{
    static long serial = 1;
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), notAfter);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), ctx, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), ctx, NID_authority_key_identifier, "keyid:always");
    if (!names) {
        addExtension(cert.get(), ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), ctx, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), ctx, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), ctx, NID_subject_alt_name, names);
    }
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) == 0)
        throw std::runtime_error("cannot sign a certificate");
    return cert;
}

std::string pem(X509* cert)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(bio.get(), cert);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

std::string pem(EVP_PKEY* key)
{
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(size));
}

TlsIdentity identity(X509* issuer, EVP_PKEY* issuerKey, const char* names, long notBefore, long notAfter)
{
    const Key key = newKey();
    const Cert cert = newCert(key.get(), "sorvena test server", issuer, issuerKey, names, notBefore, notAfter);
    return {pem(cert.get()), pem(key.get())};
}

// The certificates of the process, and the CA file removed at exit.
struct Made {
    Made();
    ~Made()
    {
        std::error_code ignored;
        std::filesystem::remove(pki.caFile, ignored);
    }
    TestPki pki;
};

Made::Made()
{
    const Key caKey = newKey();
    const Cert ca = newCert(caKey.get(), "Sorvena Test CA", nullptr, nullptr, nullptr, -Day, 30 * Day);
    const Key otherKey = newKey();
    const Cert other = newCert(otherKey.get(), "Untrusted Test CA", nullptr, nullptr, nullptr, -Day, 30 * Day);
    pki.caPem = pem(ca.get());
    pki.good = identity(ca.get(), caKey.get(), GoodNames, -Day, 30 * Day);
    pki.expired = identity(ca.get(), caKey.get(), GoodNames, -2 * Day, -Day);
    pki.wrongHost = identity(ca.get(), caKey.get(), "DNS:wrong.example", -Day, 30 * Day);
    pki.unknownCa = identity(other.get(), otherKey.get(), GoodNames, -Day, 30 * Day);
    pki.caFile = std::filesystem::temp_directory_path() / ("sorvena-test-ca-" + std::to_string(::getpid()) + ".pem");
    std::ofstream(pki.caFile, std::ios::binary) << pki.caPem;
}

}  // namespace

const TestPki& Pki()
{
    static const Made made;
    return made.pki;
}

void TrustTestCa()
{
    ::setenv("SSL_CERT_FILE", Pki().caFile.c_str(), 1);
    // An empty folder: the system's certificates do not count either.
    ::setenv("SSL_CERT_DIR", Pki().caFile.parent_path().c_str(), 1);
}

void WriteIdentity(const TlsIdentity& identity, const std::filesystem::path& dir, const std::string& name)
{
    std::ofstream(dir / (name + ".crt"), std::ios::binary) << identity.certificatePem;
    std::ofstream(dir / (name + ".key"), std::ios::binary) << identity.keyPem;
}

}  // namespace sorvena::test
