// The script library's small value types: identifiers, script values and the script
// description that a registration entry carries.
#pragma once

#include <string>
#include <utility>

// An identifier of the host: registry IDs, input IDs, data types and control kinds.
class FuID {
public:
    FuID() = default;
    FuID(const char* text) : m_text(text) {}
    FuID(std::string text) : m_text(std::move(text)) {}

    const std::string& Text() const { return m_text; }
    bool operator==(const FuID& other) const = default;

private:
    std::string m_text;
};

// A value passed between the host and its scripts. Tools only hand it on.
class ScriptVal {};

// What a script sees of a registered class: a number, the registry ID as text and two
// further texts.
struct ScriptInfo {
    ScriptInfo(int number, std::string id, std::string a, std::string b)
        : number(number), id(std::move(id)), text1(std::move(a)), text2(std::move(b)) {}

    int number;
    std::string id;
    std::string text1;
    std::string text2;
};
