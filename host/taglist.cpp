#include "host/taglist.h"

double TagValue::AsDouble() const {
    if (const auto* i = std::get_if<long long>(&m_v)) return static_cast<double>(*i);
    if (const auto* d = std::get_if<double>(&m_v)) return *d;
    return 0.0;
}

const std::string& TagValue::AsText() const {
    static const std::string empty;
    const auto* s = std::get_if<std::string>(&m_v);
    return s ? *s : empty;
}

const TagValue* TagList::Find(tag::Id id) const {
    for (const auto& item : m_items)
        if (item.id == id) return &item.value;
    return nullptr;
}

double TagList::GetDouble(tag::Id id, double fallback) const {
    const TagValue* v = Find(id);
    return v ? v->AsDouble() : fallback;
}

long long TagList::GetInt(tag::Id id, long long fallback) const {
    const TagValue* v = Find(id);
    return v ? v->AsInt() : fallback;
}
