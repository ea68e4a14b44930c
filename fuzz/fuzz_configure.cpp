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

// Every value and default of every key item (the category reader lets a
// repeated item or attribute replace an earlier one) prefixed, so that the key
// cannot be mistaken for a text of the plugin's own log lines or URLs (a key
// taken from an unmarked default once matched the service's host name in a
// URL, a repeated key item named "sites" matched a path).
std::string withMarkedKey(const std::string& input)
{
    rapidjson::Document doc;
    doc.Parse(input.c_str(), input.size());
    if (doc.HasParseError() || !doc.IsObject())
        return input;
    for (auto item = doc.MemberBegin(); item != doc.MemberEnd(); ++item) {
        if (item->name != "key" || !item->value.IsObject())
            continue;
        for (auto attr = item->value.MemberBegin(); attr != item->value.MemberEnd(); ++attr) {
            if ((attr->name != "value" && attr->name != "default") || !attr->value.IsString())
                continue;
            const std::string marked = "Qk7" + std::string(attr->value.GetString(), attr->value.GetStringLength());
            attr->value.SetString(marked.c_str(), static_cast<rapidjson::SizeType>(marked.size()), doc.GetAllocator());
        }
    }
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    doc.Accept(writer);
    return std::string(out.GetString(), out.GetSize());
}

// A key no other item writes, and that carries the mark (a number or a
// boolean is rendered unmarked), can be told apart in URLs and log lines.
bool distinctKey(const ConfigCategory& config, const std::string& key)
{
    bool elsewhere = key.compare(0, 3, "Qk7") != 0 || key.size() < 4;
    for (const auto& item : config.itemNames()) {
        elsewhere = elsewhere || fz::contains(item, key) || (item != "key" && fz::contains(config.getValue(item), key));
    }
    return !elsewhere;
}

Nerivo& running()
{
    static Nerivo* plugin = [] {
        nerivo_https_memory::setHandler(fz::fixedIndex);
        auto* p = new Nerivo(nerivo_https_memory::connector());
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
    const NerivoProbe probe(plugin);
    nerivo_https_memory::setHandler([](const nerivo_https_memory::Exchange& e) {
        fz::sent().push_back(e);
        return fz::fixedIndex(e);
    });
    fz::log().clear();
    fz::sent().clear();
    try {
        ConfigCategory config("fuzz", text);
        const std::string keyBefore = probe.key();
        const std::string proxyBefore = probe.proxy();
        plugin.configure(&config);
        const bool hasKey = config.itemExists("key");
        const std::string key = config.getValue("key");
        if (hasKey && probe.key() != (nerivo::hasControlCharacter(key) ? keyBefore : key))
            fz::fail("key not taken, or taken with a control character", probe.key());
        if (nerivo::hasControlCharacter(probe.proxy()))
            fz::fail("proxy with a control character", probe.proxy());
        if (config.itemExists("proxy") && nerivo::hasControlCharacter(config.getValue("proxy")) &&
            probe.proxy() != proxyBefore)
            fz::fail("a refused proxy changed the proxy", probe.proxy());
        const bool distinct = distinctKey(config, probe.key());
        for (const auto& e : fz::sent()) {
            fz::checkRequest(e, probe.key(), distinct);
            if (e.proxy != probe.proxy())
                fz::fail("request not through the configured proxy", e.proxy);
        }
        if (distinct)
            fz::checkLog(probe.key(), std::string());
        if (probe.proxy() != probe.key() && !fz::contains(key, probe.proxy()))
            checkProxyLog(probe.proxy());
    } catch (const ConfigCategoryException&) {
    }
    return 0;
}
