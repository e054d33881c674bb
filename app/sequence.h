// Frame sequences: paths with a frame-number pattern ("shot.#.exr" four digits,
// "shot.@@@.exr" one digit per @, "shot.%04d.exr"), frame lists ("1-10", "1-10x2",
// "1,5,9"), and the frames of a pattern found on disk. Patterns follow oiiotool's rules,
// through OpenImageIO's Filesystem helpers; frame lists are read here, so that their size
// is known before any frame is listed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

class PathPattern {
public:
    // A path as given: a pattern when it holds one, unless a file of exactly that name
    // exists (so "me@home.png" still reads as a file). A '%' that starts no frame number
    // is kept as text; throws UsageError naming the path when it holds more than one
    // frame number, one beside a stray '%', or one padded to over 99 digits.
    explicit PathPattern(std::string path, bool literalIfExists = true);

    bool IsSequence() const { return !m_printf.empty(); }
    const std::string& Text() const { return m_text; }
    // A frame list written into the pattern itself ("shot.1-10#.exr"), or "".
    const std::string& EmbeddedFrames() const { return m_frames; }

    // The file of one frame; the path itself when it is no pattern.
    std::string Frame(int frame) const;
    // The frame numbers of the files on disk that match, in increasing order.
    std::vector<int> FramesOnDisk() const;

private:
    std::string m_text;
    std::string m_printf; // "shot.%04d.exr", or "" for a plain path
    std::string m_frames;
};

// The most frames one render covers: over eleven hours at 24 frames a second. A longer
// list is a slip of the keyboard, refused before anything is listed or checked.
inline constexpr std::int64_t kMaxFrames = 1'000'000;

// Parses a frame list: items separated by commas, each N, A-B, A-BxS (every S-th frame)
// or A-ByS (the frames A-BxS skips), frame numbers 0 and up. A-B counts down when A > B,
// and the frames come in the order written. Throws UsageError naming the text when it is
// malformed, has a step below 1, a frame beyond the int range, selects no frames or
// more than kMaxFrames.
std::vector<int> ParseFrames(const std::string& text);

} // namespace app
