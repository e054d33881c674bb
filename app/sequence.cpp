#include "app/sequence.h"

#include "app/errors.h"

#include <OpenImageIO/filesystem.h>

#include <algorithm>
#include <filesystem>

namespace app {

PathPattern::PathPattern(std::string path, bool literalIfExists) : m_text(std::move(path)) {
    std::error_code ec;
    if (literalIfExists && std::filesystem::exists(m_text, ec)) return;
    std::string normalized, frames;
    if (OIIO::Filesystem::parse_pattern(m_text.c_str(), 0, normalized, frames) &&
        normalized.find('%') != std::string::npos) {
        m_printf = normalized;
        m_frames = frames;
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

std::vector<int> ParseFrames(const std::string& text) {
    std::vector<int> frames;
    const bool ok = text.find_first_not_of("0123456789-xy,") == std::string::npos &&
                    OIIO::Filesystem::enumerate_sequence(text, frames);
    if (!ok || frames.empty())
        throw UsageError("--frames " + Quoted(text) +
                         " is not a frame list such as 1-10, 1-10x2 or 1,5,9");
    return frames;
}

} // namespace app
