#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config_category.h"

namespace {

const char* const kCategory = R"({
  "url":      {"type": "string", "default": "https://example.invalid", "value": "https://meters.local"},
  "interval": {"type": "integer", "default": "60", "description": "Seconds between polls"},
  "enabled":  {"type": "boolean", "default": true, "order": 3},
  "limits":   {"type": "JSON", "value": {"max": 5, "names": ["a", "b"]}},
  "empty":    {"type": "string"},
  "quoted":   {"value": "say \"hi\"\n"}
})";

TEST(ConfigCategory, ValuePrefersValueOverDefault)
{
    ConfigCategory cat("nerivo", kCategory);
    EXPECT_EQ(cat.getName(), "nerivo");
    EXPECT_EQ(cat.getValue("url"), "https://meters.local");
    EXPECT_EQ(cat.getValue("interval"), "60");
    EXPECT_EQ(cat.getValue("empty"), "");
    EXPECT_EQ(cat.getValue("quoted"), "say \"hi\"\n");
}

TEST(ConfigCategory, MissingItem)
{
    ConfigCategory cat("nerivo", kCategory);
    EXPECT_FALSE(cat.itemExists("missing"));
    EXPECT_TRUE(cat.itemExists("url"));
    EXPECT_TRUE(cat.itemExists("empty"));
    EXPECT_EQ(cat.getValue("missing"), "");
    EXPECT_EQ(cat.getItemAttribute("missing", "type"), "");
}

TEST(ConfigCategory, AttributesKeepStringsAndRenderOthersAsJson)
{
    ConfigCategory cat("nerivo", kCategory);
    EXPECT_EQ(cat.getItemAttribute("interval", "description"), "Seconds between polls");
    EXPECT_EQ(cat.getItemAttribute("url", "default"), "https://example.invalid");
    EXPECT_EQ(cat.getItemAttribute("enabled", "default"), "true");
    EXPECT_EQ(cat.getItemAttribute("enabled", "order"), "3");
    EXPECT_EQ(cat.getValue("enabled"), "true");
    EXPECT_EQ(cat.getValue("limits"), R"({"max":5,"names":["a","b"]})");
    EXPECT_EQ(cat.getItemAttribute("url", "nonexistent"), "");
}

TEST(ConfigCategory, ItemNamesInDocumentOrder)
{
    ConfigCategory cat("nerivo", kCategory);
    const std::vector<std::string> expected{"url", "interval", "enabled", "limits", "empty", "quoted"};
    EXPECT_EQ(cat.itemNames(), expected);
    ConfigCategory reversed("r", R"({"zeta": {}, "alpha": {}, "mid": {}})");
    EXPECT_EQ(reversed.itemNames(), (std::vector<std::string>{"zeta", "alpha", "mid"}));
}

TEST(ConfigCategory, EmptyObjectHasNoItems)
{
    ConfigCategory cat("blank", "{}");
    EXPECT_TRUE(cat.itemNames().empty());
    EXPECT_FALSE(cat.itemExists(""));
}

TEST(ConfigCategory, EmbeddedNulInValueIsKept)
{
    ConfigCategory cat("nul", R"({"k": {"value": "a\u0000b"}})");
    EXPECT_EQ(cat.getValue("k"), std::string("a\0b", 3));
}

std::string errorOf(const std::string& name, const std::string& json)
{
    try {
        ConfigCategory cat(name, json);
    } catch (const ConfigCategoryException& e) {
        return e.what();
    }
    return "<no exception>";
}

TEST(ConfigCategory, InvalidJsonNamesCategoryErrorAndOffset)
{
    // The object is never closed: the parser stops at the end of the text.
    const std::string json = R"({"a": {"value": "1"})";
    const std::string message = errorOf("pumpCfg", json);
    EXPECT_NE(message.find("pumpCfg"), std::string::npos) << message;
    EXPECT_NE(message.find("Missing a comma or '}' after an object member."), std::string::npos) << message;
    EXPECT_NE(message.find("offset " + std::to_string(json.size())), std::string::npos) << message;
}

TEST(ConfigCategory, InvalidJsonVariants)
{
    struct Case {
        const char* json;
        const char* fragment;
    };
    const Case cases[] = {
        {"", "The document is empty."},
        {"{\"a\": {}} trailing", "The document root must not be followed by other values."},
        {"{'a': {}}", "Missing a name for object member."},
        {"{\"a\": {\"v\": tru}}", "Invalid value."},
    };
    for (const Case& c : cases) {
        const std::string message = errorOf("cfg", c.json);
        EXPECT_NE(message.find("cfg"), std::string::npos) << message;
        EXPECT_NE(message.find(c.fragment), std::string::npos) << c.json << " -> " << message;
    }
}

TEST(ConfigCategory, TopLevelMustBeObject)
{
    for (const char* json : {"[]", "42", "\"text\"", "null", "true"}) {
        const std::string message = errorOf("topCfg", json);
        EXPECT_NE(message.find("topCfg"), std::string::npos) << json << " -> " << message;
        EXPECT_NE(message.find("object"), std::string::npos) << json << " -> " << message;
    }
}

TEST(ConfigCategory, ItemMustBeObject)
{
    for (const char* json :
         {R"({"good": {}, "bad": 5})", R"({"bad": "text"})", R"({"bad": [1]})", R"({"bad": null})"}) {
        const std::string message = errorOf("itemCfg", json);
        EXPECT_NE(message.find("itemCfg"), std::string::npos) << json << " -> " << message;
        EXPECT_NE(message.find("'bad'"), std::string::npos) << json << " -> " << message;
    }
}

TEST(ConfigCategory, ExceptionIsRuntimeError)
{
    EXPECT_THROW(ConfigCategory("x", "{"), std::runtime_error);
    EXPECT_NO_THROW(ConfigCategory("x", R"({"a": {"value": 1.5, "options": ["x", "y"]}})"));
}

}  // namespace
