// Small text helpers the command's messages and name matching share.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace app {

inline std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// Equal but for the case of ASCII letters.
inline bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char p, char q) {
               return std::tolower(static_cast<unsigned char>(p)) ==
                      std::tolower(static_cast<unsigned char>(q));
           });
}

// "a, b, c".
inline std::string Join(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += separator;
        out += item;
    }
    return out;
}

// The command line as a shell would take it back: "qrvx" and each argument after it, an
// argument quoted in single quotes where it holds anything beyond letters, digits and
// -_.,:/=@%+#.
inline std::string CommandLine(int argc, char** argv) {
    std::string line = "qrvx";
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const bool plain = !a.empty() && std::all_of(a.begin(), a.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) ||
                   std::string_view("-_.,:/=@%+#").find(c) != std::string_view::npos;
        });
        line += ' ';
        if (plain) {
            line += a;
            continue;
        }
        line += '\'';
        for (char c : a) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
        line += '\'';
    }
    return line;
}

// Text the user typed, fit to be echoed in a one-line message: control characters shown
// as \n, \t or \xNN, and anything past the first 80 characters cut off behind "...",
// never inside a UTF-8 character.
inline std::string Excerpt(std::string_view text, std::size_t limit = 80) {
    std::string out;
    std::size_t shown = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool continues = (c & 0xC0) == 0x80; // inside a UTF-8 character
        if (!continues && shown++ == limit) return out + "...";
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c < 0x20 || c == 0x7F) {
            const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else
            out += char(c);
    }
    return out;
}

} // namespace app
