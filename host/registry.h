// The class registry: every loaded plug-in links one registration entry into it while
// the library is loaded (static initialisation) and unlinks it when it is unloaded.
#pragma once

#include "host/export.h"
#include "host/script.h"
#include "host/taglist.h"

#include <mutex>
#include <string>
#include <vector>

class Registry;
class ThreadedOperator;

// The factory a registration entry names: makes a new tool object, or null.
using ToolFactory = ThreadedOperator* (*)(Registry*, ScriptVal&, TagList&);

class QRVX_HOST_API ClassRegistry {
public:
    // The host's one list.
    static ClassRegistry& List();

    void Link(Registry* entry);
    void Unlink(Registry* entry);
    // The entries linked now, in the order they were linked.
    std::vector<Registry*> Entries() const;

private:
    mutable std::mutex m_mutex;
    std::vector<Registry*> m_entries;
};

// A registration entry: the registry ID and the entry's tag list, in the order given.
class QRVX_HOST_API Registry {
public:
    Registry(ClassRegistry& list, const FuID& id, TagList tags);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    const FuID& ID() const { return m_id; }
    const TagList& Tags() const { return m_tags; }

    // The first text under a tag ("" when absent), and every text under it, in order.
    std::string Text(tag::Id id) const;
    std::vector<std::string> Texts(tag::Id id) const;
    long long Number(tag::Id id) const;
    ToolFactory Factory() const;

private:
    FuID m_id;
    TagList m_tags;
};
