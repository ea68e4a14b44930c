#pragma once
// A named configuration category: items, each holding attributes such as
// "value", "default", "type" and "description".
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

class ConfigCategoryException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ConfigCategory {
public:
    // Throws ConfigCategoryException when json is not a JSON object of items,
    // naming the parse error and its offset.
    ConfigCategory(const std::string& name, const std::string& json);

    const std::string& getName() const { return m_name; }
    bool itemExists(const std::string& item) const;
    // The item's "value" when present, else its "default"; empty for an
    // unknown item or an item with neither.
    std::string getValue(const std::string& item) const;
    // Any attribute of an item ("type", "default", ...); empty when absent.
    std::string getItemAttribute(const std::string& item, const std::string& attribute) const;
    // Item names in the order of the JSON text.
    std::vector<std::string> itemNames() const;

private:
    struct Item {
        std::string name;
        std::map<std::string, std::string> attributes;  // attributes holding JSON strings (others rendered as JSON)
    };
    const Item* find(const std::string& item) const;

    std::string m_name;
    std::vector<Item> m_items;
};
