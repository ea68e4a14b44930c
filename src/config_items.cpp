#include "config_items.h"

#include <iterator>
#include <stdexcept>

namespace nerivo {

namespace {

struct ConfigItem {
    const char* name;
    const char* description;
    const char* type;
    const char* defaultValue;
    const char* displayName;  // null: the item has none
    const char* order;        // null: the item has none
    bool mandatory;
    bool readonly;
    // The proxy item has always written its order ahead of its display name;
    // the published text keeps that layout.
    bool orderFirst;
};

// The items in the order the default configuration lists them.
// clang-format off
const ConfigItem ITEMS[] = {
    // name, description, type, default, displayName, order, mandatory, readonly, orderFirst
    {"plugin", "Retrieve data from the Nerivo Water cloud service", "string", "NerivoWater",
     nullptr, nullptr, false, true, false},
    {"separator", "Separator to use between components of the asset name", "string", ".",
     "Asset Name Separator", "1", false, false, false},
    {"includeSite", "Include site name in the asset name", "boolean", "false",
     "Include Site Name", "2", false, false, false},
    {"key", "The authentication key for the Nerivo Water Quorvel API", "password", "xxxxxxx",
     "Auth. Key", "3", true, false, false},
    {"includeAlarms", "Include alarm thresholds in the data", "boolean", "false",
     "Include Alarm Thresholds", "4", false, false, false},
    {"proxy", "The name or address and port of a proxy server to use. This should be formatted as "
              "<hostname>:<port> or <address:port>", "string", "",
     "Proxy", "5", false, false, true},
    {"timezone", "How the service's times are read: empty for one offset from the site list all year, a tz "
                 "database zone such as Europe/Amsterdam for all sites, or sites for each site's own zone",
     "string", "", "Time Zone", "6", false, false, false},
    {"healthAsset", "Asset name of a reading of the plugin's health after each poll; empty for none", "string", "",
     "Health Asset", "7", false, false, false},
};
// clang-format on

std::string quoted(const char* text)
{
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') {
            out += '\\';
        }
        out += *c;
    }
    return out + '"';
}

void addAttribute(std::string& out, const char* name, const char* value)
{
    if (value != nullptr) {
        out += ", " + quoted(name) + ": " + quoted(value);
    }
}

std::string itemText(const ConfigItem& item)
{
    std::string out = quoted(item.name) + ": {" + quoted("description") + ": " + quoted(item.description);
    addAttribute(out, "type", item.type);
    addAttribute(out, "default", item.defaultValue);
    addAttribute(out, "readonly", item.readonly ? "true" : nullptr);
    if (item.orderFirst) {
        addAttribute(out, "order", item.order);
    }
    addAttribute(out, "displayName", item.displayName);
    addAttribute(out, "mandatory", item.mandatory ? "true" : nullptr);
    if (!item.orderFirst) {
        addAttribute(out, "order", item.order);
    }
    return out + "}";
}

}  // namespace

std::string defaultConfiguration()
{
    std::string out = "{";
    for (const ConfigItem& item : ITEMS) {
        if (&item != std::begin(ITEMS)) {
            out += ", ";
        }
        out += itemText(item);
    }
    return out + "}";
}

const char* itemDefault(const std::string& name)
{
    for (const ConfigItem& item : ITEMS) {
        if (name == item.name) {
            return item.defaultValue;
        }
    }
    throw std::logic_error("no configuration item " + name);
}

}  // namespace nerivo
