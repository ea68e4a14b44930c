#pragma once
// What tests, fuzz targets and benchmarks see of a client beyond the
// platform's entry points: settings they may shorten or fix, and read-only
// views of its configuration, index and progress.
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nerivo.h"

class NerivoProbe {
public:
    explicit NerivoProbe(Nerivo& client) : m_client(client) {}

    // The low-speed window of the HTTPS client, the refresh of a completed
    // discovery, and the clock (0: the system clock), so that ranges of a
    // known day are exact.
    void setLowSpeedWindow(std::chrono::milliseconds window) { m_client.m_service.setLowSpeedWindow(window); }
    void setDiscoveryRefresh(int64_t seconds) { m_client.m_discovery.setRefresh(seconds); }
    void setClock(int64_t fixedNow) { m_client.m_fixedNow = fixedNow; }
    int64_t now() const { return m_client.now(); }

    // The tag's next-pull time: one second past its newest sample delivered,
    // or the starting time until it has one.
    int64_t tagPull(const std::string& tag) const { return m_client.m_progress.next(tag); }
    int32_t timezoneOffset() const { return m_client.m_index.m_timezoneOffset; }
    const std::string& key() const { return m_client.m_service.key(); }
    const std::string& separator() const { return m_client.m_separator; }
    bool includeSite() const { return m_client.m_includeSite; }
    bool includeAlarms() const { return m_client.m_includeAlarms; }
    const std::string& proxy() const { return m_client.m_service.proxy(); }
    bool initialised() const { return m_client.m_initialised; }
    const std::map<long, std::vector<const Nerivo::AssetData*>>& assetParameters() const
    {
        return m_client.m_index.m_assetParameters;
    }
    const std::map<std::string, const Nerivo::AssetData*>& tagIndex() const { return m_client.m_index.m_tagIndex; }

private:
    Nerivo& m_client;
};
