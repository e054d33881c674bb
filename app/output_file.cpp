#include "app/output_file.h"

#include "app/errors.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace app {

namespace fs = std::filesystem;

namespace {

// The temporary file to remove when a signal ends the process. A fixed buffer, because
// a signal handler may only call async-signal-safe functions (unlink, raise).
char g_pending[4096];
std::atomic<bool> g_hasPending{false};

extern "C" void RemovePendingAndDie(int sig) {
    if (g_hasPending.load()) unlink(g_pending);
    std::signal(sig, SIG_DFL);
    raise(sig);
}

void Watch(const std::string& temp) {
    static const bool installed = [] {
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, RemovePendingAndDie);
        return true;
    }();
    (void)installed;
    g_hasPending = false;
    if (temp.size() >= sizeof g_pending) return;
    std::memcpy(g_pending, temp.c_str(), temp.size() + 1);
    g_hasPending = true;
}

void Unwatch() { g_hasPending = false; }

std::string FolderOf(const std::string& path) {
    const fs::path folder = fs::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

} // namespace

void CheckWritable(const std::string& path) {
    const std::string folder = FolderOf(path);
    std::error_code ec;
    if (!fs::is_directory(folder, ec))
        throw Failure("cannot write " + path + ": folder " + folder + " does not exist");
    if (access(folder.c_str(), W_OK | X_OK) != 0)
        throw Failure("cannot write " + path + ": folder " + folder + " is not writable");
    if (fs::is_directory(path, ec)) throw Failure("cannot write " + path + ": it is a folder");
    if (fs::exists(path, ec) && access(path.c_str(), W_OK) != 0)
        throw Failure("cannot write " + path + ": the file is not writable");
}

PendingFile::PendingFile(std::string target) : m_target(std::move(target)) {
    CheckWritable(m_target);
    const fs::path t(m_target);
    std::string name = ".";
    name += t.stem().string();
    // The host name as well as the process: writers on several machines may share a folder.
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    name += ".qrvx-tmp" + std::string(host) + "-" + std::to_string(getpid());
    name += t.extension().string();
    m_temp = (t.parent_path() / name).string();
    Watch(m_temp);
}

PendingFile::~PendingFile() {
    if (m_done) return;
    std::remove(m_temp.c_str());
    Unwatch();
}

void PendingFile::Commit() {
    if (std::rename(m_temp.c_str(), m_target.c_str()) != 0)
        throw Failure("cannot write " + m_target + ": " + std::strerror(errno));
    m_done = true;
    Unwatch();
}

void WriteTextFile(const std::string& path, const std::string& text) {
    PendingFile file(path);
    {
        std::ofstream out(file.TempPath(), std::ios::binary);
        out << text;
        out.close();
        if (!out) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
    file.Commit();
}

} // namespace app
