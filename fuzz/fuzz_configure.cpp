// A configuration category through configure on a running plugin (whose
// reconfiguration runs a discovery). A key or proxy text holding a control
// character is refused and the previous value stays; otherwise the key is
// sent in its header alone, and neither it nor a proxy password is logged.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "config_category.h"
#include "config_text.h"
#include "fuzz_support.h"

namespace {

// The key item's value and default, prefixed so that the key cannot be
// mistaken for a text of the plugin's own log lines or URLs (a key taken from
// an unmarked default once matched the service's host name in a URL).
std::string withMarkedKey(const std::string& input)
{
    rapidjson::Document doc;
    doc.Parse(input.c_str(), input.size());
    if (doc.HasParseError() || !doc.IsObject())
        return input;
    auto key = doc.FindMember("key");
    if (key == doc.MemberEnd() || !key->value.IsObject())
        return input;
    for (const char* name : {"value", "default"}) {
        auto text = key->value.FindMember(name);
        if (text == key->value.MemberEnd() || !text->value.IsString())
            continue;
        const std::string marked = "Qk7" + std::string(text->value.GetString(), text->value.GetStringLength());
        text->value.SetString(marked.c_str(), static_cast<rapidjson::SizeType>(marked.size()), doc.GetAllocator());
    }
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    return std::string(out.GetString(), out.GetSize());
}

Nerivo& running()
{
    static Nerivo* plugin = [] {
        nerivo_https_memory::setHandler(fz::fixedIndex);
        auto* p = new Nerivo();
        fz::setUp(*p, false);
        delete p->takeReading();
        return p;
    }();
    return *plugin;
}

void checkProxyLog(const std::string& proxy)
{
    const auto at = proxy.rfind('@');
    const auto colon = proxy.find(':');
    if (at == std::string::npos || colon == std::string::npos || colon > at)
        return;
    if (proxy.compare(colon + 1, at - colon - 1, "***") == 0)
        return;
    const std::string credentials = proxy.substr(0, at + 1);
    for (const auto& entry : fz::log().entries()) {
        if (fz::contains(entry.second, credentials))
            fz::fail("proxy password in a log line", entry.second);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text = withMarkedKey(std::string(reinterpret_cast<const char*>(data), size));
    Nerivo& plugin = running();
    nerivo_https_memory::setHandler([](const nerivo_https_memory::Exchange& e) {
        fz::sent().push_back(e);
        return fz::fixedIndex(e);
    });
    fz::log().clear();
    fz::sent().clear();
    try {
        ConfigCategory config("fuzz", text);
        const std::string keyBefore = plugin.key();
        const std::string proxyBefore = plugin.proxy();
        plugin.configure(&config);
        const bool hasKey = config.itemExists("key");
        const std::string key = config.getValue("key");
        if (hasKey && plugin.key() != (nerivo::hasControlCharacter(key) ? keyBefore : key))
            fz::fail("key not taken, or taken with a control character", plugin.key());
        if (nerivo::hasControlCharacter(plugin.proxy()))
            fz::fail("proxy with a control character", plugin.proxy());
        if (config.itemExists("proxy") && nerivo::hasControlCharacter(config.getValue("proxy")) &&
            plugin.proxy() != proxyBefore)
            fz::fail("a refused proxy changed the proxy", plugin.proxy());
        for (const auto& e : fz::sent()) {
            fz::checkRequest(e, plugin.key());
            if (e.proxy != plugin.proxy())
                fz::fail("request not through the configured proxy", e.proxy);
        }
        // Only a key no other item writes can be told apart in the log.
        bool elsewhere = plugin.key().compare(0, 3, "Qk7") != 0 || plugin.key().size() < 4;
        for (const auto& item : config.itemNames()) {
            elsewhere = elsewhere || fz::contains(item, plugin.key()) ||
                        (item != "key" && fz::contains(config.getValue(item), plugin.key()));
        }
        if (!elsewhere)
            fz::checkLog(plugin.key(), std::string());
        if (plugin.proxy() != plugin.key() && !fz::contains(key, plugin.proxy()))
            checkProxyLog(plugin.proxy());
    } catch (const ConfigCategoryException&) {
    }
    return 0;
}
