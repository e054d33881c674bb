// Tag lists: ordered tag-value pairs, as the host passes them to declarations, images
// and registration entries. Order is kept and a tag may stand more than once.
#pragma once

#include "host/export.h"
#include "host/tags.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// One tag value: a whole number, a double, a text or an address.
class QRVX_HOST_API TagValue {
public:
    using Variant = std::variant<long long, double, std::string, const void*>;

    TagValue(int v) : m_v(static_cast<long long>(v)) {}
    TagValue(long v) : m_v(static_cast<long long>(v)) {}
    TagValue(long long v) : m_v(v) {}
    TagValue(double v) : m_v(v) {}
    TagValue(const char* v) : m_v(std::string(v)) {}
    TagValue(std::string v) : m_v(std::move(v)) {}
    TagValue(const void* v) : m_v(v) {}

    bool IsInt() const { return std::holds_alternative<long long>(m_v); }
    bool IsDouble() const { return std::holds_alternative<double>(m_v); }
    bool IsText() const { return std::holds_alternative<std::string>(m_v); }
    bool IsAddress() const { return std::holds_alternative<const void*>(m_v); }

    // A number of either kind as a double; 0 for texts and addresses.
    double AsDouble() const;
    long long AsInt() const { return static_cast<long long>(AsDouble()); }
    const std::string& AsText() const;
    const void* AsAddress() const { return IsAddress() ? std::get<const void*>(m_v) : nullptr; }

private:
    Variant m_v;
};

struct TagItem {
    tag::Id id;
    TagValue value;
};

class QRVX_HOST_API TagList {
public:
    TagList() = default;
    TagList(std::initializer_list<TagItem> items) : m_items(items) {}

    void Add(tag::Id id, TagValue value) { m_items.push_back({id, std::move(value)}); }

    // The first value under the tag, if any.
    const TagValue* Find(tag::Id id) const;
    double GetDouble(tag::Id id, double fallback) const;
    long long GetInt(tag::Id id, long long fallback) const;

    std::vector<TagItem>::const_iterator begin() const { return m_items.begin(); }
    std::vector<TagItem>::const_iterator end() const { return m_items.end(); }
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }

private:
    std::vector<TagItem> m_items;
};
