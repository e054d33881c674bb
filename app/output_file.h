// Files the command writes (images, settings, the demo's pages) go to a temporary name
// beside the target and are renamed into place only when complete, so a failure or an
// interrupt never leaves a half-written file and never touches an existing one. A
// symbolic link at the target is replaced by the new file, and the file it points to is
// left alone: renaming onto the link is what keeps the replacement atomic.
//
// The temporary file is created under a name no one can guess (random letters), only if
// nothing is there yet and never through a symbolic link, and is written through the
// descriptor that created it: in a folder that others may write, no one can plant a link
// that makes a render overwrite another file.
#pragma once

#include <cstddef>
#include <string>

namespace app {

// One file being written. Construct it, write to TempPath(), then Commit(). Destroyed
// without Commit (an error on the way), it removes the temporary file. While it lives,
// SIGINT, SIGTERM and SIGHUP remove the temporary file before the process ends.
class PendingFile {
public:
    // Checks that the target can be written (see CheckWritable), removes the temporary
    // files that writers of the same target on this machine left when they were killed
    // (those of its naming whose process is gone), and creates the temporary file:
    // ".<stem>.qrvx-tmp<host>-<pid>-<random><extension>" in the target's folder. The host
    // name keeps writers on several machines that share a folder apart. Throws Failure
    // naming the target when the file cannot be created.
    explicit PendingFile(std::string target);
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    const std::string& Target() const { return m_target; }
    // The temporary file's name, for a writer that can only open a file by name; the
    // name is checked to be still this file before it is renamed (see Commit).
    const std::string& TempPath() const { return m_temp; }
    // The open temporary file, for writing (the file is empty when made).
    int Fd() const { return m_fd; }

    // Closes the temporary file and renames it onto the target. Throws Failure naming the
    // target, also when the temporary name no longer holds the file made (someone
    // replaced it).
    void Commit();

private:
    std::string m_target;
    std::string m_temp;
    int m_fd = -1;
    bool m_done = false;
};

// Throws Failure naming the path when its folder does not exist or cannot be written,
// or when the path is a folder, a device, a FIFO or another file that is not a regular
// file, or an existing file without write permission. A symbolic link is taken as the
// link (it is replaced), whatever it points to.
void CheckWritable(const std::string& path);

// Writes size bytes to an open file; throws Failure naming path when they cannot be.
void WriteAll(int fd, const void* data, std::size_t size, const std::string& path);

// Writes text to a file through a PendingFile.
void WriteTextFile(const std::string& path, const std::string& text);

} // namespace app
