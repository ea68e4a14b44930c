#pragma once
// Helpers shared by the plugin suites: category texts and a loopback port
// that refuses connections, so that no test can reach past this machine.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_category.h"

using ItemValues = std::vector<std::pair<std::string, std::string>>;

// A category text whose items carry only a "value", in the given order.
inline std::string categoryJson(const ItemValues& items)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    for (const auto& item : items) {
        writer.Key(item.first.c_str(), static_cast<rapidjson::SizeType>(item.first.size()));
        writer.StartObject();
        writer.Key("value");
        writer.String(item.second.c_str(), static_cast<rapidjson::SizeType>(item.second.size()));
        writer.EndObject();
    }
    writer.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

inline ConfigCategory category(const ItemValues& items)
{
    return ConfigCategory("nerivo", categoryJson(items));
}

// A TCP port on 127.0.0.1 that is bound but never listens: every connection
// to it is refused at once, and no other process can take the port while the
// object lives.
class RefusingPort {
public:
    RefusingPort()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (m_fd < 0)
            throw std::runtime_error("socket() failed");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(m_fd);
            throw std::runtime_error("cannot reserve a loopback port");
        }
        m_port = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(m_fd); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    // host:port as the proxy item takes it.
    std::string authority() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};
