#pragma once
// Helpers shared by the plugin suites: category texts, a loopback port that
// refuses connections, so that no test can reach past this machine, and a
// probe that shows what a client sends and returns.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_category.h"
#include "memory_client.hpp"
#include "nerivo.h"
#include "reading.h"

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

inline const std::string kApi = "https://api.nerivowater.com/api/";

// What one poll shows of a client's configuration: the key header and proxy
// of its last request, the asset name of its first reading, and whether that
// reading carries the alarm thresholds.
struct Seen {
    std::string key;
    std::string proxy;
    std::string asset;
    bool alarms = false;
    bool operator==(const Seen& o) const
    {
        return key == o.key && proxy == o.proxy && asset == o.asset && alarms == o.alarms;
    }
};
inline std::ostream& operator<<(std::ostream& out, const Seen& s)
{
    return out << "{key \"" << s.key << "\", proxy \"" << s.proxy << "\", asset \"" << s.asset << "\", alarms "
               << s.alarms << "}";
}

// A client's connections, handed in as its connector: every request is
// recorded and answered from memory (site 1 North in UTC, asset 10 Pump 3,
// parameter Flow of tag T with a low alarm, a sample of T at the start of
// each range); with answering off it goes to the HTTPS client, to fail on a
// refusing proxy as it would in the field. Must outlive the client.
class Probe {
public:
    struct Sent {
        std::string target;
        std::string key;
        std::string proxy;
    };

    bool answering = true;
    bool listSites = true;                 // false: every list answers 404
    std::chrono::milliseconds window{-1};  // the low-speed window the connection opened with
    std::vector<Sent> sent;

    nerivo::Connector connector()
    {
        return [this](std::chrono::milliseconds lowSpeed) -> nerivo::Transport {
            window = lowSpeed;
            auto https = nerivo::httpsConnector(Nerivo::API_HOST)(lowSpeed);
            auto memory = nerivo_https_memory::connector()(lowSpeed);
            return [this, https, memory](const std::string& target, const SimpleWeb::CaseInsensitiveMultimap& header,
                                         const std::string& proxy) {
                const auto key = header.find("X-Api-Key");
                sent.push_back({target, key == header.end() ? "(none)" : key->second, proxy});
                if (!answering)
                    return https(target, header, proxy);
                nerivo_https_memory::setHandler(
                    [this](const nerivo_https_memory::Exchange& e) { return answer(e.target); });
                return memory(target, header, proxy);
            };
        };
    }

    Seen poll(Nerivo& client)
    {
        sent.clear();
        std::vector<Reading*>* readings = client.takeReading();
        Seen seen;
        if (!sent.empty())
            seen = Seen{sent.back().key, sent.back().proxy, "", false};
        if (!readings->empty()) {
            seen.asset = readings->front()->getAssetName();
            for (const Datapoint* dp : readings->front()->getReadingData())
                seen.alarms = seen.alarms || dp->getName() == "alarmLow";
        }
        for (Reading* r : *readings)
            delete r;
        delete readings;
        return seen;
    }

private:
    nerivo_https_memory::Reply answer(const std::string& target) const
    {
        nerivo_https_memory::Reply reply;
        const std::string range = kApi + "timeseriesdata/";
        if (!listSites) {
            reply.status = "404 Not Found";
        } else if (target == kApi + "sites") {
            reply.body = R"({"result":[{"SITE_ID":1,"SITE_NAME":"North","TIMEZONE":"(GMT+00:00) UTC"}]})";
        } else if (target == kApi + "sites/1/assets") {
            reply.body = R"({"result":[{"SITE_ID":1,"ASSET_ID":10}]})";
        } else if (target == kApi + "sites/1/assets/10/parameters") {
            reply.body = R"({"result":[{"ASSET_ID":10,"ASSET_NAME":"Pump 3","HISTORIAN_TAG":"T",)"
                         R"("PARAMETER_NAME":"Flow","PARAMETER_ID":1001,"ALARM_LO":"1"}]})";
        } else if (target.compare(0, range.size(), range) == 0 && target.find("?tags=T") != std::string::npos) {
            const std::string from = target.substr(range.size(), target.find('/', range.size()) - range.size());
            reply.body = R"({"result":{"T":[{"quality":3,"value":1,"timestamp":")" + from + R"("}]}})";
        } else {
            reply.status = "404 Not Found";
        }
        return reply;
    }
};
