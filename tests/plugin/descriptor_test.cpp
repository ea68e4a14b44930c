// The descriptor and the default configuration the platform reads before it
// creates the client.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "entry_points.h"

namespace {

struct ExpectedItem {
    const char* name;
    // Attribute name and value, in the order the text must hold them.
    std::vector<std::pair<const char*, const char*>> attributes;
};

const std::vector<ExpectedItem>& expectedItems()
{
    static const std::vector<ExpectedItem> items = {
        {"plugin",
         {{"description", "Retrieve data from the Nerivo Water cloud service"},
          {"type", "string"},
          {"default", "NerivoWater"},
          {"readonly", "true"}}},
        {"separator",
         {{"description", "Separator to use between components of the asset name"},
          {"type", "string"},
          {"default", "."},
          {"displayName", "Asset Name Separator"},
          {"order", "1"}}},
        {"includeSite",
         {{"description", "Include site name in the asset name"},
          {"type", "boolean"},
          {"default", "false"},
          {"displayName", "Include Site Name"},
          {"order", "2"}}},
        {"key",
         {{"description", "The authentication key for the Nerivo Water Quorvel API"},
          {"type", "password"},
          {"default", "xxxxxxx"},
          {"displayName", "Auth. Key"},
          {"mandatory", "true"},
          {"order", "3"}}},
        {"includeAlarms",
         {{"description", "Include alarm thresholds in the data"},
          {"type", "boolean"},
          {"default", "false"},
          {"displayName", "Include Alarm Thresholds"},
          {"order", "4"}}},
        {"proxy",
         {{"description", "The name or address and port of a proxy server to use. This should be formatted as "
                          "<hostname>:<port> or <address:port>"},
          {"type", "string"},
          {"default", ""},
          {"order", "5"},
          {"displayName", "Proxy"}}},
        {"timezone",
         {{"description", "How the service's times are read: empty for one offset from the site list all year, a tz "
                          "database zone such as Europe/Amsterdam for all sites, or sites for each site's own zone"},
          {"type", "string"},
          {"default", ""},
          {"displayName", "Time Zone"},
          {"order", "6"}}},
        {"healthAsset",
         {{"description", "Asset name of a reading of the plugin's health after each poll; empty for none"},
          {"type", "string"},
          {"default", ""},
          {"displayName", "Health Asset"},
          {"order", "7"}}},
    };
    return items;
}

TEST(Descriptor, IsOneRecordForTheLifeOfTheLibrary)
{
    PLUGIN_INFORMATION* first = plugin_info();
    PLUGIN_INFORMATION* second = plugin_info();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->config, second->config);
}

TEST(Descriptor, Fields)
{
    const PLUGIN_INFORMATION* info = plugin_info();
    ASSERT_NE(info->name, nullptr);
    ASSERT_NE(info->version, nullptr);
    ASSERT_NE(info->type, nullptr);
    ASSERT_NE(info->interface, nullptr);
    ASSERT_NE(info->config, nullptr);
    EXPECT_STREQ(info->name, "NerivoWater");
    EXPECT_STREQ(info->version, "3.1.0-1-g3dedfeb");
    EXPECT_EQ(info->options, 8u);
    EXPECT_STREQ(info->type, "south");
    EXPECT_STREQ(info->interface, "2.0.0");
}

TEST(Descriptor, FieldLayoutIsFixed)
{
    // The platform reads the record by position: five text pointers around a
    // 32-bit option word.
    static_assert(sizeof(PLUGIN_INFORMATION::options) == 4, "options is 32 bits wide");
    EXPECT_LT(offsetof(PLUGIN_INFORMATION, name), offsetof(PLUGIN_INFORMATION, version));
    EXPECT_LT(offsetof(PLUGIN_INFORMATION, version), offsetof(PLUGIN_INFORMATION, options));
    EXPECT_LT(offsetof(PLUGIN_INFORMATION, options), offsetof(PLUGIN_INFORMATION, type));
    EXPECT_LT(offsetof(PLUGIN_INFORMATION, type), offsetof(PLUGIN_INFORMATION, interface));
    EXPECT_LT(offsetof(PLUGIN_INFORMATION, interface), offsetof(PLUGIN_INFORMATION, config));
}

TEST(DefaultConfiguration, IsOneLineOfJson)
{
    const char* config = plugin_info()->config;
    EXPECT_EQ(std::strchr(config, '\n'), nullptr);
    EXPECT_EQ(std::strchr(config, '\r'), nullptr);
}

TEST(DefaultConfiguration, HoldsExactlyItsItemsWithTheirAttributesInOrder)
{
    rapidjson::Document doc;
    doc.Parse(plugin_info()->config);
    ASSERT_FALSE(doc.HasParseError()) << "parse error " << doc.GetParseError() << " at " << doc.GetErrorOffset();
    ASSERT_TRUE(doc.IsObject());

    const auto& expected = expectedItems();
    ASSERT_EQ(doc.MemberCount(), expected.size());
    auto item = doc.MemberBegin();
    for (const ExpectedItem& want : expected) {
        SCOPED_TRACE(want.name);
        ASSERT_TRUE(item->name.IsString());
        EXPECT_STREQ(item->name.GetString(), want.name);
        ASSERT_TRUE(item->value.IsObject());
        ASSERT_EQ(item->value.MemberCount(), want.attributes.size());
        auto attribute = item->value.MemberBegin();
        for (const auto& wantAttribute : want.attributes) {
            SCOPED_TRACE(wantAttribute.first);
            EXPECT_STREQ(attribute->name.GetString(), wantAttribute.first);
            // Numbers and booleans too are JSON strings in the category.
            ASSERT_TRUE(attribute->value.IsString());
            EXPECT_EQ(std::string(attribute->value.GetString(), attribute->value.GetStringLength()),
                      wantAttribute.second);
            ++attribute;
        }
        ++item;
    }
}

}  // namespace
