#include "app/sequence.h"

#include "app/errors.h"
#include "app/text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <regex>
#include <string_view>

namespace app {

namespace {

namespace fs = std::filesystem;

// One frame-number form found in a path: where it stands, how many digits it pads to,
// and whether it can be used (a padding up to 99 digits).
struct Token {
    std::size_t begin = 0, end = 0;
    int digits = 0;
    char fill = '0';
    bool usable = true;
    bool takesFrames = true; // a frame list may stand just before it ("1-10#")
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameChar(char c) {
    return IsDigit(c) || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The padding written as a number of digits: usable up to 99 ("%0100d" or "$F100" would
// make names of that many digits, and a width of millions one of millions).
int Width(std::string_view digits, bool& usable) {
    digits.remove_prefix(std::min(digits.find_first_not_of('0'), digits.size()));
    usable = digits.size() <= 2;
    int n = 0;
    if (usable) std::from_chars(digits.data(), digits.data() + digits.size(), n);
    return n;
}

// Every frame-number form in text, and the number of '%' that start none.
std::vector<Token> FindTokens(std::string_view text, int& stray) {
    std::vector<Token> tokens;
    stray = 0;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        Token t{.begin = i};
        if (c == '#' || c == '@') {
            std::size_t j = i;
            while (j < text.size() && text[j] == c) ++j;
            const std::size_t run = j - i;
            t.end = j;
            t.digits = c == '#' && run == 1 ? 4 : int(std::min<std::size_t>(run, 100));
            t.usable = run <= 99;
        } else if (c == '%') {
            std::size_t j = i + 1;
            while (j < text.size() && IsDigit(text[j])) ++j;
            if (j == text.size() || text[j] != 'd') {
                ++stray;
                ++i;
                continue;
            }
            const std::string_view width = text.substr(i + 1, j - i - 1);
            t.end = j + 1;
            t.fill = width.starts_with('0') ? '0' : ' ';
            t.digits = Width(width, t.usable);
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == 'F') {
            std::size_t j = i + 2;
            while (j < text.size() && IsDigit(text[j])) ++j;
            // "$FPS", "$FF" and "$F_x" are other variables, kept as text.
            if (j == i + 2 && j < text.size() && IsNameChar(text[j])) {
                ++i;
                continue;
            }
            t.end = j;
            t.digits = Width(text.substr(i + 2, j - i - 2), t.usable);
            t.takesFrames = false;
        } else {
            ++i;
            continue;
        }
        t.digits = std::max(t.digits, 1);
        tokens.push_back(t);
        i = t.end;
    }
    return tokens;
}

// The frame list that ends text ("shot.1-10" holds "1-10"), or "". It stands in the file
// name, so only a last path part of a file name's length (255 bytes) is searched: the
// search costs the square of what it looks at.
std::string TrailingFrames(const std::string& text) {
    static const std::regex list(R"((\d+(-\d+([xy]-?\d+)?)?(,\d+(-\d+([xy]-?\d+)?)?)*)$)");
    const std::size_t slash = text.rfind('/');
    const std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    std::smatch m;
    return name.size() <= 255 && std::regex_search(name, m, list) ? m.str(1) : "";
}

} // namespace

PathPattern::PathPattern(std::string path, bool literalIfExists) : m_text(std::move(path)) {
    std::error_code ec;
    if (literalIfExists && fs::exists(m_text, ec)) return;
    int stray = 0;
    const std::vector<Token> tokens = FindTokens(m_text, stray);
    if (tokens.empty()) return;
    if (tokens.size() > 1 || stray > 0 || !tokens.front().usable)
        throw UsageError(Quoted(Excerpt(m_text)) +
                         " is not a usable frame pattern: give one # run, @ run, %0Nd or $FN "
                         "(N up to 99) and no other %");
    const Token& t = tokens.front();
    m_sequence = true;
    m_head = m_text.substr(0, t.begin);
    m_tail = m_text.substr(t.end);
    m_digits = t.digits;
    m_fill = t.fill;
    if (t.takesFrames) {
        m_frames = TrailingFrames(m_head);
        m_head.resize(m_head.size() - m_frames.size());
    }
}

std::string PathPattern::Number(int frame) const {
    // As printf pads: the sign counts towards the width, zeros go after it.
    const std::string sign = frame < 0 ? "-" : "";
    const std::string digits = std::to_string(std::abs(std::int64_t(frame)));
    const std::size_t width = std::size_t(m_digits), used = sign.size() + digits.size();
    const std::string pad(width > used ? width - used : 0, m_fill);
    return m_fill == '0' ? sign + pad + digits : pad + sign + digits;
}

std::string PathPattern::Frame(int frame) const {
    return IsSequence() ? m_head + Number(frame) + m_tail : m_text;
}

std::vector<int> PathPattern::Scan(std::string* near) const {
    std::vector<int> frames;
    if (!IsSequence()) return frames;
    // The part of the path that holds the frame number is matched against the entries of
    // its folder; what follows it (a file inside a numbered folder) must exist too.
    const std::size_t slash = m_head.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : m_head.substr(0, slash);
    const std::string before = slash == std::string::npos ? m_head : m_head.substr(slash + 1);
    const std::size_t next = m_tail.find('/');
    const std::string after = m_tail.substr(0, next);
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() <= before.size() + after.size() || !name.starts_with(before) ||
            !name.ends_with(after))
            continue;
        const std::string number =
            name.substr(before.size(), name.size() - before.size() - after.size());
        const std::size_t first = number.find_first_not_of(' ');
        if (first == std::string::npos || number.size() > 10 ||
            number.find_first_not_of("0123456789", first) != std::string::npos)
            continue;
        int frame = 0;
        const char* end = number.data() + number.size();
        if (std::from_chars(number.data() + first, end, frame).ptr != end) continue;
        // Only the names this pattern gives: "####" takes shot.1001.exr, not shot.01001.exr.
        if (Number(frame) != number) {
            if (near && first == 0 && (near->empty() || name < *near)) *near = name;
            continue;
        }
        if (next != std::string::npos && !fs::exists(Frame(frame), ec)) continue;
        frames.push_back(frame);
    }
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

std::vector<int> PathPattern::FramesOnDisk() const { return Scan(nullptr); }

std::string PathPattern::NoFilesMessage() const {
    std::string near;
    Scan(&near);
    std::string message = "sequence " + m_text + " matches no files: it looks for " +
                          (m_digits > 1 ? std::to_string(m_digits) + "-digit frame numbers"
                                        : std::string("frame numbers without padding")) +
                          ", as in " + Frame(1);
    if (!near.empty()) {
        const std::size_t slash = m_head.rfind('/');
        const std::size_t before = m_head.size() - (slash == std::string::npos ? 0 : slash + 1);
        const std::size_t after = std::min(m_tail.find('/'), m_tail.size());
        const int digits = int(near.size() - before - after);
        message += "; " + near + " has " + std::to_string(digits) + " digits, which " + m_head +
                   FrameMark(digits) + m_tail + " reads";
    }
    return message;
}

std::string FrameMark(int digits) {
    return digits == 1 ? "@" : std::string(std::size_t(std::max(digits, 1)), '#');
}

const char* const kPatternHelp =
    "Frame patterns (one per path):\n"
    "  shot.#.exr      one # is 4 digits, as oiiotool reads it  shot.0007.exr\n"
    "  shot.####.exr   two or more #: one digit each            shot.0007.exr\n"
    "  shot.@@@.exr    one digit per @                          shot.007.exr\n"
    "  shot.%04d.exr   printf's form; %d has no padding         shot.0007.exr\n"
    "  shot.$F4.exr    Houdini's form; $F has no padding        shot.0007.exr\n"
    "Padding is the least number of digits (frame 12345 of shot.####.exr is shot.12345.exr).\n"
    "A frame list may stand before a # or @ run: shot.1001-1100#.exr. In a shell, quote a\n"
    "pattern with $ in it: -i 'shot.$F4.exr'.";

namespace {

// One item of a frame list: first-last counting by step (down when first > last), or,
// with complement, every frame of first-last that the step skips.
struct FrameRange {
    std::int64_t first = 0, last = 0, step = 1;
    bool complement = false;

    std::int64_t Span() const { return first <= last ? last - first : first - last; }
    std::int64_t Count() const {
        const std::int64_t stepped = Span() / step + 1;
        return complement ? Span() + 1 - stepped : stepped;
    }
};

// Reads the digits at the start of text into n; false when there are none or too many
// for 64 bits.
bool ReadNumber(std::string_view& text, std::int64_t& n) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc()) return false;
    text.remove_prefix(std::size_t(end - text.data()));
    return true;
}

} // namespace

std::vector<int> ParseFrames(const std::string& text) {
    const std::string shown = "--frames " + Quoted(Excerpt(text));
    const UsageError malformed(shown + " is not a frame list such as 1-10, 1-10x2 or 1,5,9");

    // Read every item and count the frames before making any.
    std::vector<FrameRange> ranges;
    std::int64_t count = 0;
    std::string_view rest = text;
    while (true) {
        const std::size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        FrameRange r;
        if (!ReadNumber(item, r.first)) throw malformed;
        r.last = r.first;
        if (!item.empty()) {
            if (item.front() != '-') throw malformed;
            item.remove_prefix(1);
            if (!ReadNumber(item, r.last)) throw malformed;
        }
        if (!item.empty()) {
            if (item.front() != 'x' && item.front() != 'y') throw malformed;
            r.complement = item.front() == 'y';
            item.remove_prefix(1);
            if (!item.empty() && item.front() == '-')
                throw UsageError(shown + ": a step must be 1 or more");
            if (!ReadNumber(item, r.step) || !item.empty()) throw malformed;
            if (r.step < 1) throw UsageError(shown + ": a step must be 1 or more");
        }
        for (std::int64_t n : {r.first, r.last})
            if (n > std::numeric_limits<int>::max())
                throw UsageError(shown + ": frame " + std::to_string(n) +
                                 " is beyond the last frame number " +
                                 std::to_string(std::numeric_limits<int>::max()));
        // Counted, not listed, so that a slip such as 1-100000000 is refused at once.
        count += r.Count();
        if (count > kMaxFrames)
            throw UsageError(shown + " covers more than " + std::to_string(kMaxFrames) +
                             " frames, the most one render takes");
        ranges.push_back(r);
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    if (count == 0) throw UsageError(shown + " selects no frames");

    std::vector<int> frames;
    frames.reserve(std::size_t(count));
    for (const FrameRange& r : ranges) {
        // A-By1 selects nothing, however long A-B is.
        if (r.Count() == 0) continue;
        const std::int64_t dir = r.first <= r.last ? 1 : -1;
        for (std::int64_t i = 0; i <= r.Span(); i += r.complement ? 1 : r.step)
            if (!r.complement || i % r.step != 0) frames.push_back(int(r.first + dir * i));
    }
    return frames;
}

} // namespace app
