// Frame sequences: paths with a frame-number pattern, frame lists ("1-10", "1-10x2",
// "1,5,9"), and the frames of a pattern found on disk. One rule for every client (the
// command, the viewer, the Python module and the farm runner):
//
//   shot.#.exr      one # is 4 digits, as oiiotool reads it      shot.0007.exr
//   shot.####.exr   two or more # are one digit each              shot.0007.exr
//   shot.@@@.exr    one digit per @                               shot.007.exr
//   shot.%04d.exr   printf's form; %d has no padding              shot.0007.exr
//   shot.$F4.exr    Houdini's form; $F has no padding             shot.0007.exr
//
// Padding is the least number of digits: frame 12345 of shot.####.exr is shot.12345.exr.
// A frame list just before a # or @ run or a %d form is the pattern's own ("shot.1-10#.exr").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

class PathPattern {
public:
    // A path as given: a pattern when it holds one, unless a file of exactly that name
    // exists (so "me@home.png" still reads as a file). A '%' that starts no frame number
    // is kept as text, as is "$F" followed by a letter ("$FPS"); throws UsageError naming
    // the path when it holds more than one frame number, one beside a stray '%', or one
    // padded to over 99 digits.
    explicit PathPattern(std::string path, bool literalIfExists = true);

    bool IsSequence() const { return m_sequence; }
    const std::string& Text() const { return m_text; }
    // A frame list written into the pattern itself ("shot.1-10#.exr"), or "".
    const std::string& EmbeddedFrames() const { return m_frames; }
    // The least number of digits of a frame number: 4 for "#", "####", "%04d" and "$F4";
    // 1 for "%d" and "$F".
    int Padding() const { return m_digits; }

    // The file of one frame; the path itself when it is no pattern.
    std::string Frame(int frame) const;
    // The frame numbers of the files on disk that match, in increasing order: the names
    // Frame gives, and no others (with "####", shot.1001.exr but not shot.01001.exr).
    std::vector<int> FramesOnDisk() const;
    // Why a sequence matches no files: the pattern, the padding it looks for, and a file
    // beside it with the same name but other padding, if there is one.
    std::string NoFilesMessage() const;

private:
    // A frame number padded as the pattern pads it.
    std::string Number(int frame) const;
    // The frames on disk; near, when given, receives the first name (in order) of a file that
    // fits the pattern but for its padding.
    std::vector<int> Scan(std::string* near) const;

    std::string m_text;
    std::string m_head, m_tail; // around the frame number
    std::string m_frames;
    int m_digits = 0;
    char m_fill = '0'; // ' ' for printf's "%4d"
    bool m_sequence = false;
};

// The pattern text for frame numbers of `digits` digits, as the viewer names the sequences
// it finds and messages suggest: one '#' per digit ("####"), and "@" for one digit.
std::string FrameMark(int digits);

// The table of pattern forms above, for `qrvx render --help`.
extern const char* const kPatternHelp;

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
