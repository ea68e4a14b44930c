#include "test_ca.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

#include <memory>
#include <stdexcept>

namespace fakeservice::detail {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const noexcept { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

[[noreturn]] void fail(const char* what)
{
    std::string msg = std::string("test CA: ") + what;
    if (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        msg += ": ";
        msg += buf;
    }
    ERR_clear_error();
    throw std::runtime_error(msg);
}

void check(int ok, const char* what)
{
    if (ok <= 0)
        fail(what);
}

KeyPtr newKey()
{
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key)
        fail("key generation");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value.c_str()));
    if (!ext)
        fail("certificate extension");
    check(X509_add_ext(cert, ext.get(), -1), "adding extension");
}

// issuer == nullptr: self-signed with key.
CertPtr newCert(const std::string& commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                const std::string& subjectAltName)
{
    CertPtr cert(X509_new());
    if (!cert)
        fail("X509_new");
    check(X509_set_version(cert.get(), 2), "version");
    // Random serials: several instances may live at once, and a client must
    // never take two of their certificates for one.
    unsigned char serial[8];
    check(RAND_bytes(serial, sizeof serial), "serial");
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (!bn)
        fail("serial");
    const bool serialOk = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
    BN_free(bn);
    if (!serialOk)
        fail("serial");
    // Backdated an hour so that a client with a slightly slow clock accepts it.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600L) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 30))
        fail("validity");
    check(X509_set_pubkey(cert.get(), key), "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Nerivo test"), -1,
                                     -1, 0),
          "subject");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0),
          "subject");
    check(X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name), "issuer");
    X509* issuerCert = issuer ? issuer : cert.get();
    if (!issuer) {
        addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), issuerCert, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), issuerCert, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), issuerCert, NID_ext_key_usage, "serverAuth");
    }
    addExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), issuerCert, NID_authority_key_identifier, "keyid:always");
    if (!subjectAltName.empty())
        addExtension(cert.get(), issuerCert, NID_subject_alt_name, subjectAltName);
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0)
        fail("signing");
    return cert;
}

std::string drain(BIO* bio)
{
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<std::size_t>(len)) : std::string();
}

std::string certPem(X509* cert)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        fail("BIO_new");
    check(PEM_write_bio_X509(bio.get(), cert), "writing certificate");
    return drain(bio.get());
}

std::string keyPem(EVP_PKEY* key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio)
        fail("BIO_new");
    check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr), "writing key");
    return drain(bio.get());
}

bool isIpLiteral(const std::string& name)
{
    boost::system::error_code ec;
    boost::asio::ip::make_address(name, ec);
    return !ec;
}

}  // namespace

Credentials makeCredentials(const std::string& caName, const std::vector<std::string>& names)
{
    KeyPtr caKey = newKey();
    CertPtr ca = newCert(caName, caKey.get(), nullptr, nullptr, std::string());

    std::string san;
    for (const auto& n : names) {
        if (n.empty() || n.find(',') != std::string::npos)
            continue;  // would corrupt the list
        if (!san.empty())
            san += ',';
        san += (isIpLiteral(n) ? "IP:" : "DNS:") + n;
    }
    KeyPtr serverKey = newKey();
    const std::string cn = names.empty() ? std::string("localhost") : names.front();
    CertPtr server = newCert(cn, serverKey.get(), ca.get(), caKey.get(), san);
    return Credentials{certPem(ca.get()), certPem(server.get()), keyPem(serverKey.get())};
}

}  // namespace fakeservice::detail
