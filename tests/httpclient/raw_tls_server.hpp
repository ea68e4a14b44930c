#pragma once
// A one-connection-at-a-time TLS server that sends canned bytes and then drops
// TCP without close_notify, as many real servers and load balancers do. The
// fake service always closes cleanly, so this covers the other way. It has a
// throw-away self-signed certificate: clients must not verify.
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace https_test {

class RawTlsServer {
public:
    // Serves `answer` to each of `connections` connections, one request each.
    RawTlsServer(std::string answer, int connections)
        : m_answer(std::move(answer)),
          m_ctx(boost::asio::ssl::context::tls_server),
          m_acceptor(m_ioc, {boost::asio::ip::make_address("127.0.0.1"), 0})
    {
        useThrowAwayCertificate();
        m_thread = std::thread([this, connections] { serve(connections); });
    }
    ~RawTlsServer()
    {
        boost::system::error_code ignored;
        // Wakes a pending accept when the client made fewer connections.
        boost::asio::ip::tcp::socket poke(m_ioc);
        poke.connect(m_acceptor.local_endpoint(), ignored);
        poke.close(ignored);  // so its handshake ends at once
        m_thread.join();
    }
    unsigned short port() const { return m_acceptor.local_endpoint().port(); }
    int served() const { return m_served.load(); }

private:
    void useThrowAwayCertificate()
    {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
        if (!key || !cert)
            throw std::runtime_error("cannot create a test key");
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
        X509_set_pubkey(cert.get(), key.get());
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("raw-test"), -1, -1,
                                   0);
        X509_set_issuer_name(cert.get(), name);
        if (!X509_sign(cert.get(), key.get(), EVP_sha256()) ||
            SSL_CTX_use_certificate(m_ctx.native_handle(), cert.get()) != 1 ||
            SSL_CTX_use_PrivateKey(m_ctx.native_handle(), key.get()) != 1)
            throw std::runtime_error("cannot set up the test certificate");
    }

    void serve(int connections)
    {
        for (int i = 0; i < connections; ++i) {
            boost::system::error_code ec;
            boost::asio::ssl::stream<boost::asio::ip::tcp::socket> stream(m_ioc, m_ctx);
            m_acceptor.accept(stream.next_layer(), ec);
            if (ec)
                return;
            stream.handshake(boost::asio::ssl::stream_base::server, ec);
            if (ec)
                return;  // the destructor's wake-up call lands here
            // The clients here send GET without a body: the head is the request.
            std::string request;
            boost::asio::read_until(stream, boost::asio::dynamic_buffer(request), "\r\n\r\n", ec);
            if (ec)
                return;
            boost::asio::write(stream, boost::asio::buffer(m_answer), ec);
            ++m_served;
            // No SSL shutdown: the TCP connection just ends.
            stream.next_layer().close(ec);
        }
    }

    std::string m_answer;
    boost::asio::io_context m_ioc;
    boost::asio::ssl::context m_ctx;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::atomic<int> m_served{0};
    std::thread m_thread;
};

}  // namespace https_test
