// The asset parameter record, filled from one element of a parameter list,
// and the index that owns the records.
#include "asset_index.h"

#include <algorithm>

namespace nerivo {

namespace {

// A member of another JSON type than expected is skipped, not the whole
// record: the rest of the parameter is still worth polling.
void readText(const rapidjson::Value& parameter, const char* name, std::string& text)
{
    auto member = parameter.FindMember(name);
    if (member != parameter.MemberEnd() && member->value.IsString()) {
        // Taken up to the first NUL character, as C text.
        text = member->value.GetString();
    }
}

void readLong(const rapidjson::Value& parameter, const char* name, long& number)
{
    auto member = parameter.FindMember(name);
    if (member != parameter.MemberEnd() && member->value.IsInt64()) {
        number = static_cast<long>(member->value.GetInt64());
    }
}

// Names are shown on one line.
void flattenLines(std::string& name)
{
    std::replace(name.begin(), name.end(), '\n', ' ');
}

}  // namespace

AssetData::AssetData(const rapidjson::Value& parameter, long siteId) : m_siteId(siteId)
{
    if (!parameter.IsObject()) {
        return;
    }
    readLong(parameter, "ASSET_ID", m_assetId);
    readText(parameter, "ASSET_NAME", m_assetName);
    flattenLines(m_assetName);
    readText(parameter, "HISTORIAN_TAG", m_historianTag);
    readText(parameter, "STORAGE_UNIT", m_storageUnit);
    readText(parameter, "KPI", m_kpi);
    readText(parameter, "PARAMETER_NAME", m_parameterName);
    flattenLines(m_parameterName);
    readLong(parameter, "PARAMETER_ID", m_parameterId);
    readText(parameter, "DISPLAY_UNIT", m_displayUnit);
    readText(parameter, "ALARM_HI", m_alarmHi);
    readText(parameter, "ALARM_HIHI", m_alarmHiHi);
    readText(parameter, "ALARM_LO", m_alarmLo);
    readText(parameter, "ALARM_LOLO", m_alarmLoLo);
}

void AssetIndex::addAsset(long assetId)
{
    m_assetParameters[assetId];
}

void AssetIndex::addParameter(long assetId, const rapidjson::Value& parameter, long siteId)
{
    m_records.push_back(std::make_unique<AssetData>(parameter, siteId));
    const AssetData* record = m_records.back().get();
    m_assetParameters[assetId].push_back(record);
    m_tagIndex.emplace(record->m_historianTag, record);
}

void AssetIndex::noteMissing(const std::string& what)
{
    m_missing += (m_missing.empty() ? "" : ", ") + what;
    ++m_missingLists;
}

std::size_t AssetIndex::parameterCount() const
{
    std::size_t count = 0;
    for (const auto& entry : m_assetParameters) {
        count += entry.second.size();
    }
    return count;
}

const std::string* AssetIndex::siteName(long siteId) const
{
    auto site = m_siteNames.find(siteId);
    return site == m_siteNames.end() ? nullptr : &site->second;
}

}  // namespace nerivo
