#include "host/registry.h"

#include <algorithm>

ClassRegistry& ClassRegistry::List() {
    static ClassRegistry* list = new ClassRegistry; // outlives every plug-in's entries
    return *list;
}

void ClassRegistry::Link(Registry* entry) {
    std::lock_guard lock(m_mutex);
    m_entries.push_back(entry);
}

void ClassRegistry::Unlink(Registry* entry) {
    std::lock_guard lock(m_mutex);
    m_entries.erase(std::remove(m_entries.begin(), m_entries.end(), entry), m_entries.end());
}

std::vector<Registry*> ClassRegistry::Entries() const {
    std::lock_guard lock(m_mutex);
    return m_entries;
}

Registry::Registry(ClassRegistry& list, const FuID& id, TagList tags)
    : m_id(id), m_tags(std::move(tags)) {
    list.Link(this);
}

Registry::~Registry() { ClassRegistry::List().Unlink(this); }

std::string Registry::Text(tag::Id id) const {
    const TagValue* v = m_tags.Find(id);
    return v ? v->AsText() : std::string();
}

std::vector<std::string> Registry::Texts(tag::Id id) const {
    std::vector<std::string> texts;
    for (const auto& [t, v] : m_tags)
        if (t == id) texts.push_back(v.AsText());
    return texts;
}

long long Registry::Number(tag::Id id) const { return m_tags.GetInt(id, 0); }

ToolFactory Registry::Factory() const {
    const TagValue* v = m_tags.Find(tag::RegFactory);
    return v ? reinterpret_cast<ToolFactory>(const_cast<void*>(v->AsAddress())) : nullptr;
}
