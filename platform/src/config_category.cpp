#include "config_category.h"

#include <algorithm>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace {

// Non-string attribute values (numbers, booleans, nested objects, ...) are
// kept as their JSON text so that nothing in the category is lost.
std::string attributeText(const rapidjson::Value& value)
{
    if (value.IsString())
        return std::string(value.GetString(), value.GetStringLength());
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

const char* typeName(const rapidjson::Value& value)
{
    switch (value.GetType()) {
    case rapidjson::kNullType: return "null";
    case rapidjson::kFalseType:
    case rapidjson::kTrueType: return "a boolean";
    case rapidjson::kObjectType: return "an object";
    case rapidjson::kArrayType: return "an array";
    case rapidjson::kStringType: return "a string";
    case rapidjson::kNumberType: return "a number";
    }
    return "an unknown value";
}

}  // namespace

ConfigCategory::ConfigCategory(const std::string& name, const std::string& json) : m_name(name)
{
    rapidjson::Document doc;
    doc.Parse(json.c_str(), json.size());
    if (doc.HasParseError()) {
        throw ConfigCategoryException("Configuration category '" + name +
                                      "' is not valid JSON: " + rapidjson::GetParseError_En(doc.GetParseError()) +
                                      " (at offset " + std::to_string(doc.GetErrorOffset()) + ")");
    }
    if (!doc.IsObject()) {
        throw ConfigCategoryException("Configuration category '" + name + "' must be a JSON object of items, not " +
                                      typeName(doc));
    }
    for (auto member = doc.MemberBegin(); member != doc.MemberEnd(); ++member) {
        const std::string itemName(member->name.GetString(), member->name.GetStringLength());
        if (!member->value.IsObject()) {
            throw ConfigCategoryException("Configuration category '" + name + "': item '" + itemName +
                                          "' must be a JSON object of attributes, not " + typeName(member->value));
        }
        Item item;
        item.name = itemName;
        for (auto attr = member->value.MemberBegin(); attr != member->value.MemberEnd(); ++attr) {
            // A repeated attribute name: the last one wins, as in most JSON readers.
            item.attributes[std::string(attr->name.GetString(), attr->name.GetStringLength())] =
                attributeText(attr->value);
        }
        // A repeated item name replaces the earlier definition but keeps its place.
        auto existing = std::find_if(m_items.begin(), m_items.end(),
                                     [&itemName](const Item& known) { return known.name == itemName; });
        if (existing != m_items.end())
            *existing = std::move(item);
        else
            m_items.push_back(std::move(item));
    }
}

const ConfigCategory::Item* ConfigCategory::find(const std::string& item) const
{
    for (const Item& candidate : m_items) {
        if (candidate.name == item)
            return &candidate;
    }
    return nullptr;
}

bool ConfigCategory::itemExists(const std::string& item) const
{
    return find(item) != nullptr;
}

std::string ConfigCategory::getValue(const std::string& item) const
{
    const Item* found = find(item);
    if (found == nullptr)
        return std::string();
    auto value = found->attributes.find("value");
    if (value != found->attributes.end())
        return value->second;
    auto def = found->attributes.find("default");
    if (def != found->attributes.end())
        return def->second;
    return std::string();
}

std::string ConfigCategory::getItemAttribute(const std::string& item, const std::string& attribute) const
{
    const Item* found = find(item);
    if (found == nullptr)
        return std::string();
    auto attr = found->attributes.find(attribute);
    return attr == found->attributes.end() ? std::string() : attr->second;
}

std::vector<std::string> ConfigCategory::itemNames() const
{
    std::vector<std::string> names;
    names.reserve(m_items.size());
    for (const Item& item : m_items)
        names.push_back(item.name);
    return names;
}
