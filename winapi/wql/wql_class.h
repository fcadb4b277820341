// A WMI class as the query engine sees it: its name, its properties with
// their CIM types, and where its instances come from.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "winapi/wql/wql_value.h"

namespace winapi::wql {

struct WqlProperty {
    std::wstring name;
    CimType type = CimType::String;
};

class WqlClass;

// One instance: a value for every property of its class, in the class's order.
struct WqlObject {
    const WqlClass* cls = nullptr;
    std::vector<WqlValue> values;

    // Sets a property by name; naming a property the class lacks is a
    // programming error and throws std::logic_error.
    void Set(std::wstring_view property, WqlValue value);
    const WqlValue* Find(std::wstring_view property) const;
};

class WqlClass {
public:
    using InstanceSource = std::function<std::vector<WqlObject>(const WqlClass&)>;

    // Every class also carries the system property __CLASS, first.
    WqlClass(std::wstring name, std::vector<WqlProperty> properties, InstanceSource source);

    const std::wstring& Name() const { return name_; }
    const std::vector<WqlProperty>& Properties() const { return properties_; }
    // Index of the property, found without regard to case.
    std::optional<size_t> FindProperty(std::wstring_view name) const;

    // An instance with every property NULL except __CLASS.
    WqlObject NewObject() const;
    // Current instances; may throw std::exception when their source fails.
    std::vector<WqlObject> Instances() const { return source_(*this); }

private:
    std::wstring name_;
    std::vector<WqlProperty> properties_;
    InstanceSource source_;
};

// The classes of ROOT\CIMV2 that this layer serves; null for any other name.
const WqlClass* FindCimv2Class(std::wstring_view name);

}  // namespace winapi::wql
