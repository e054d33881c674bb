// Frame sequences: paths with a frame-number pattern ("shot.#.exr" four digits,
// "shot.@@@.exr" one digit per @, "shot.%04d.exr"), frame lists ("1-10", "1-10x2",
// "1,5,9"), and the frames of a pattern found on disk. Parsing follows oiiotool's rules,
// through OpenImageIO's Filesystem helpers.
#pragma once

#include <string>
#include <vector>

namespace app {

class PathPattern {
public:
    // A path as given: a pattern when it holds one, unless a file of exactly that name
    // exists (so "me@home.png" still reads as a file).
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

// Parses a frame list. Throws UsageError naming the text when it is malformed.
std::vector<int> ParseFrames(const std::string& text);

} // namespace app
