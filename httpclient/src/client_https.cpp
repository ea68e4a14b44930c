// Synchronous face over Beast's asynchronous operations: every step is started
// on a private io_context and run to completion there, so time-outs can use
// tcp_stream's timer while the caller sees an ordinary blocking call.
#include "client_https.hpp"

#include "connection.hpp"

#include <boost/system/system_error.hpp>

#include <utility>

namespace SimpleWeb {

struct Client<HTTPS>::Impl {
    explicit Impl(nerivo_https::Endpoint ep, const nerivo_https::TlsOptions& tls) : conn(std::move(ep), tls) {}
    nerivo_https::Connection conn;
};

Client<HTTPS>::Client(const std::string& server_port_path, bool verify_certificate,
                      const std::string& certification_file, const std::string& private_key_file,
                      const std::string& verify_file)
{
    nerivo_https::TlsOptions tls;
    tls.verify = verify_certificate;
    tls.certificateFile = certification_file;
    tls.privateKeyFile = private_key_file;
    tls.verifyFile = verify_file;
    m_impl = std::make_unique<Impl>(nerivo_https::parseEndpoint(server_port_path, 443), tls);
}

Client<HTTPS>::~Client() = default;

std::shared_ptr<Client<HTTPS>::Response> Client<HTTPS>::request(const std::string& method, const std::string& path,
                                                                const std::string& content,
                                                                const CaseInsensitiveMultimap& header)
{
    nerivo_https::Settings settings;
    settings.proxy = config.proxy_server;
    settings.timeoutConnect = config.timeout_connect;
    settings.timeout = config.timeout;
    settings.lowSpeedBytes = config.low_speed_bytes;
    settings.lowSpeedWindow = config.low_speed_window;
    settings.maxResponseSize = config.max_response_size;

    std::vector<std::pair<std::string, std::string>> fields(header.begin(), header.end());
    nerivo_https::Answer answer = m_impl->conn.exchange(settings, method, path, content, fields);

    auto response = std::make_shared<Response>();
    response->http_version = std::move(answer.httpVersion);
    response->status_code = std::move(answer.status);
    for (auto& f : answer.fields)
        response->header.emplace(std::move(f.first), std::move(f.second));
    response->content_encoding = std::move(answer.encoding);
    response->wire_bytes = answer.wireBytes;
    response->body_wire_bytes = answer.bodyWireBytes;
    response->body_bytes = answer.body.size();
    response->content.m_body = std::move(answer.body);
    return response;
}

}  // namespace SimpleWeb
