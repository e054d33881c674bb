#include "app/sequence.h"

#include "app/errors.h"
#include "app/text.h"

#include <OpenImageIO/filesystem.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string_view>

namespace app {

namespace {

// What a path's printf form holds: no frame-number conversion (a plain path, whatever
// other '%' it has), exactly one usable conversion (%d, %Nd, %0Nd with N up to 99) and
// no other '%', or anything else. The form is handed to a formatter with one number, so
// a second conversion or a stray '%' would be read as a missing argument (which aborts
// the process) and a width of any size would make a name of that many digits.
enum class Conversions { None, One, Unusable };

Conversions CountConversions(std::string_view form) {
    int usable = 0, unusable = 0, stray = 0;
    for (std::size_t i = form.find('%'); i != std::string_view::npos; i = form.find('%', i)) {
        std::size_t j = i + 1;
        while (j < form.size() && form[j] >= '0' && form[j] <= '9') ++j;
        if (j < form.size() && form[j] == 'd') {
            const std::string_view width = form.substr(i + 1, j - i - 1);
            const std::size_t digits = width.size() - (width.starts_with('0') ? 1 : 0);
            ++(digits <= 2 ? usable : unusable);
            i = j + 1;
        } else {
            ++stray;
            i = i + 1;
        }
    }
    if (usable + unusable == 0) return Conversions::None;
    return usable == 1 && unusable == 0 && stray == 0 ? Conversions::One : Conversions::Unusable;
}

} // namespace

PathPattern::PathPattern(std::string path, bool literalIfExists) : m_text(std::move(path)) {
    std::error_code ec;
    if (literalIfExists && std::filesystem::exists(m_text, ec)) return;
    std::string normalized, frames;
    if (!OIIO::Filesystem::parse_pattern(m_text.c_str(), 0, normalized, frames)) return;
    switch (CountConversions(normalized)) {
    case Conversions::None: return;
    case Conversions::One:
        m_printf = normalized;
        m_frames = frames;
        return;
    case Conversions::Unusable:
        throw UsageError(Quoted(Excerpt(m_text)) +
                         " is not a usable frame pattern: give one #, @ run or %0Nd "
                         "(N up to 99) and no other %");
    }
}

std::string PathPattern::Frame(int frame) const {
    if (!IsSequence()) return m_text;
    std::vector<std::string> names;
    OIIO::Filesystem::enumerate_file_sequence(m_printf, {frame}, names);
    return names.empty() ? m_text : names.front();
}

std::vector<int> PathPattern::FramesOnDisk() const {
    std::vector<int> frames;
    std::vector<std::string> names;
    if (IsSequence()) OIIO::Filesystem::scan_for_matching_filenames(m_printf, frames, names);
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    return frames;
}

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
