#include "winapi/wql/wql_class.h"

#include <stdexcept>
#include <utility>

namespace winapi::wql {

WqlClass::WqlClass(std::wstring name, std::vector<WqlProperty> properties, InstanceSource source)
    : name_(std::move(name)), source_(std::move(source)) {
    properties_.push_back({L"__CLASS", CimType::String});
    for (auto& property : properties) properties_.push_back(std::move(property));
}

std::optional<size_t> WqlClass::FindProperty(std::wstring_view name) const {
    for (size_t i = 0; i < properties_.size(); ++i)
        if (EqualsIgnoreCase(properties_[i].name, name)) return i;
    return std::nullopt;
}

WqlObject WqlClass::NewObject() const {
    WqlObject object;
    object.cls = this;
    object.values.resize(properties_.size());
    object.values[0] = name_;
    return object;
}

void WqlObject::Set(std::wstring_view property, WqlValue value) {
    auto index = cls->FindProperty(property);
    if (!index) throw std::logic_error("WMI class has no such property");
    values.at(*index) = std::move(value);
}

const WqlValue* WqlObject::Find(std::wstring_view property) const {
    auto index = cls->FindProperty(property);
    return index ? &values.at(*index) : nullptr;
}

}  // namespace winapi::wql
