// The site, asset and parameter list bodies through a real discovery: the
// input holds the three bodies, cut at NUL bytes. Every record of the index
// must be the one its parameter element describes.
#include "fuzz_support.h"

namespace {

std::string cText(const rapidjson::Value& element, const char* name, bool flatten)
{
    auto m = element.FindMember(name);
    if (m == element.MemberEnd() || !m->value.IsString())
        return std::string();
    std::string text = m->value.GetString();
    if (flatten) {
        for (char& c : text)
            c = c == '\n' ? ' ' : c;
    }
    return text;
}

long idOf(const rapidjson::Value& element, const char* name)
{
    auto m = element.FindMember(name);
    return m != element.MemberEnd() && m->value.IsInt64() ? static_cast<long>(m->value.GetInt64()) : 0;
}

void checkRecord(const Nerivo::AssetData& r, const rapidjson::Value& e)
{
    if (r.m_assetId != idOf(e, "ASSET_ID") || r.m_parameterId != idOf(e, "PARAMETER_ID") ||
        r.m_assetName != cText(e, "ASSET_NAME", true) || r.m_historianTag != cText(e, "HISTORIAN_TAG", false) ||
        r.m_parameterName != cText(e, "PARAMETER_NAME", true) || r.m_displayUnit != cText(e, "DISPLAY_UNIT", false) ||
        r.m_storageUnit != cText(e, "STORAGE_UNIT", false) || r.m_alarmLoLo != cText(e, "ALARM_LOLO", false) ||
        r.m_alarmHiHi != cText(e, "ALARM_HIHI", false) || r.m_kpi != cText(e, "KPI", false))
        fz::fail("a parameter record differs from its element", r.m_historianTag);
}

// The object elements of the parameter body, as the index must hold them.
std::vector<const rapidjson::Value*> expected(const rapidjson::Document& doc)
{
    std::vector<const rapidjson::Value*> out;
    if (doc.HasParseError() || !doc.IsObject())
        return out;
    auto result = doc.FindMember("result");
    if (result == doc.MemberEnd() || !result->value.IsArray())
        return out;
    for (const auto& e : result->value.GetArray()) {
        if (e.IsObject())
            out.push_back(&e);
    }
    return out;
}

void checkIndex(const NerivoProbe& probe, const std::string& parameterBody)
{
    rapidjson::Document doc;
    if (!parameterBody.empty())
        doc.Parse(parameterBody.c_str(), parameterBody.size());
    const auto elements = expected(doc);
    for (const auto& asset : probe.assetParameters()) {
        const auto& records = asset.second;
        if (elements.empty() ? !records.empty() : records.size() % elements.size() != 0)
            fz::fail("an asset holds records its parameter list does not give", std::to_string(asset.first));
        for (std::size_t i = 0; i < records.size(); ++i) {
            checkRecord(*records[i], *elements[i % elements.size()]);
            auto indexed = probe.tagIndex().find(records[i]->m_historianTag);
            if (indexed == probe.tagIndex().end())
                fz::fail("a record missing from the tag index", records[i]->m_historianTag);
        }
    }
    for (const auto& entry : probe.tagIndex()) {
        if (entry.first != entry.second->m_historianTag)
            fz::fail("tag index under the wrong tag", entry.first);
    }
    if (probe.timezoneOffset() < -(24 * 60 + 59) || probe.timezoneOffset() > 24 * 60 + 59)
        fz::fail("zone offset out of range", std::to_string(probe.timezoneOffset()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const auto bodies = fz::split(data, size, 3);
    const std::string input(reinterpret_cast<const char*>(data), size);
    fz::log().clear();
    fz::sent().clear();
    nerivo_https_memory::setHandler([&bodies](const nerivo_https_memory::Exchange& e) {
        fz::sent().push_back(e);
        nerivo_https_memory::Reply reply;
        const bool parameters = fz::contains(e.target, "/parameters");
        reply.body = e.target == fz::kApi + "sites" ? bodies[0] : parameters ? bodies[2] : bodies[1];
        return reply;
    });
    Nerivo plugin(nerivo_https_memory::connector());
    fz::setUp(plugin);
    plugin.populateAssetInformation();
    for (const auto& e : fz::sent())
        fz::checkRequest(e, fz::kKey);
    checkIndex(NerivoProbe(plugin), bodies[2]);
    fz::checkLog(fz::kKey, input);
    return 0;
}
