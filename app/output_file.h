// Files the command writes (images, settings, the demo's pages) go to a temporary name
// beside the target and are renamed into place only when complete, so a failure or an
// interrupt never leaves a half-written file and never touches an existing one. A
// symbolic link at the target is replaced by the new file, and the file it points to is
// left alone: renaming onto the link is what keeps the replacement atomic.
#pragma once

#include <string>

namespace app {

// One file being written. Construct it, write to TempPath(), then Commit(). Destroyed
// without Commit (an error on the way), it removes the temporary file. While it lives,
// SIGINT, SIGTERM and SIGHUP remove the temporary file before the process ends.
class PendingFile {
public:
    // Checks that the target can be written (see CheckWritable), removes the temporary
    // files that writers of the same target on this machine left when they were killed
    // (those of its naming whose process is gone), and picks the temporary name:
    // ".<stem>.qrvx-tmp<host>-<pid><extension>" in the target's folder. The host name
    // keeps writers on several machines that share a folder apart.
    explicit PendingFile(std::string target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& Target() const { return m_target; }
    const std::string& TempPath() const { return m_temp; }

    // Renames the temporary file onto the target. Throws Failure naming the target.
    void Commit();

private:
    std::string m_target;
    std::string m_temp;
    bool m_done = false;
};

// Throws Failure naming the path when its folder does not exist or cannot be written,
// or when the path is a folder or an existing file without write permission.
void CheckWritable(const std::string& path);

// Writes text to a file through a PendingFile.
void WriteTextFile(const std::string& path, const std::string& text);

} // namespace app
