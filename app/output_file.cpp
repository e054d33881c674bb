#include "app/output_file.h"

#include "app/errors.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string_view>

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
        // A signal the process was started ignoring (nohup's SIGHUP, SIGINT of a job
        // started in the background by a script) stays ignored: it must not end the render.
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction now {};
            if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
            std::signal(sig, RemovePendingAndDie);
        }
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

constexpr std::string_view kTempMarker = ".qrvx-tmp";

// This machine's name, as temporary names hold it.
const std::string& HostName() {
    static const std::string name = [] {
        char host[256] = {};
        if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
        return std::string(host);
    }();
    return name;
}

// How many random letters a temporary name holds after the pid.
constexpr std::size_t kRandomLetters = 8;

// Letters no one can predict, from the system's entropy.
std::string RandomLetters() {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[kRandomLetters] = {};
    if (getrandom(bytes, sizeof bytes, 0) != ssize_t(sizeof bytes))
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(std::random_device()());
    std::string letters;
    for (unsigned char b : bytes) letters += kLetters[b % (sizeof kLetters - 1)];
    return letters;
}

// A temporary name a process may give its file for target:
// ".<stem>.qrvx-tmp<host>-<pid>-<random><ext>".
std::string TempName(const fs::path& target, pid_t pid) {
    std::string name = ".";
    name += target.stem().string();
    name += kTempMarker;
    name += HostName() + "-" + std::to_string(pid) + "-" + RandomLetters();
    name += target.extension().string();
    return name;
}

// Reads back a temporary name written on this machine: the target's file name and the
// writer's pid. Names from other machines give false (their pids mean nothing here).
// Names without the random letters are those of earlier versions.
bool ParseTempName(const std::string& name, std::string& targetName, pid_t& pid) {
    const std::string tag = std::string(kTempMarker) + HostName() + "-";
    const std::size_t marker = name.rfind(tag);
    if (name.empty() || name.front() != '.' || marker == std::string::npos || marker < 2)
        return false;
    const std::size_t digits = marker + tag.size();
    const std::size_t end = std::min(name.find_first_not_of("0123456789", digits), name.size());
    std::size_t ext = end;
    if (ext < name.size() && name[ext] == '-')
        ext = std::min(ext + 1 + kRandomLetters, name.size());
    if (end == digits || end - digits > 9 || (ext < name.size() && name[ext] != '.')) return false;
    pid = pid_t(std::stol(name.substr(digits, end - digits)));
    targetName = name.substr(1, marker - 1) + name.substr(ext);
    return true;
}

// Removes the temporary files left beside target by writers that were killed before they
// could (SIGKILL, a power cut): those of its naming whose process is gone. A pid that a
// live process has taken over keeps its file. Each folder is listed once per process, the
// first time a file is written there, so a long sequence does not list it per frame.
void RemoveStaleTemporaries(const std::string& target) {
    static std::mutex mutex;
    static std::set<std::string> listed;                                    // folders
    static std::multimap<std::string, std::pair<std::string, pid_t>> stale; // by folder/name
    const std::lock_guard lock(mutex);
    const std::string folder = FolderOf(target);
    if (listed.insert(folder).second) {
        std::error_code ec;
        for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator();
             it.increment(ec)) {
            std::string targetName;
            pid_t pid = 0;
            if (ParseTempName(it->path().filename().string(), targetName, pid))
                stale.emplace(folder + '/' + targetName, std::pair(it->path().string(), pid));
        }
    }
    const auto [begin, end] =
        stale.equal_range(folder + '/' + fs::path(target).filename().string());
    for (auto it = begin; it != end; ++it) {
        const auto& [temp, pid] = it->second;
        std::error_code ec;
        if (pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH) fs::remove(temp, ec);
    }
    stale.erase(begin, end);
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
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return; // nothing there yet
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw Failure("cannot write " + path + ": it is not a regular file");
    if (S_ISREG(st.st_mode) && access(path.c_str(), W_OK) != 0)
        throw Failure("cannot write " + path + ": the file is not writable");
}

PendingFile::PendingFile(std::string target) : m_target(std::move(target)) {
    CheckWritable(m_target);
    RemoveStaleTemporaries(m_target);
    const fs::path t(m_target);
    // A fresh name until one is free: O_EXCL never opens what is there, O_NOFOLLOW never
    // follows a link planted under the name. The name is watched before the file is made,
    // so that a signal that comes as soon as the file exists still removes it (one that
    // comes before unlinks nothing: the name holds this process's pid and letters no one
    // can predict).
    for (int attempt = 0; attempt < 100 && m_fd < 0; ++attempt) {
        m_temp = (t.parent_path() / TempName(t, getpid())).string();
        Watch(m_temp);
        m_fd = open(m_temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (m_fd >= 0) break;
        const int error = errno;
        Unwatch();
        if (error != EEXIST)
            throw Failure("cannot write " + m_target + ": " + std::strerror(error));
    }
    if (m_fd < 0) throw Failure("cannot write " + m_target + ": no free temporary name");
}

PendingFile::~PendingFile() {
    if (m_fd >= 0) close(m_fd);
    if (m_done) return;
    std::remove(m_temp.c_str());
    Unwatch();
}

void PendingFile::Commit() {
    // The name must still hold the file this object made: a writer that opened it by
    // name must not have been handed something else.
    struct stat made {
    }, named{};
    const bool same = fstat(m_fd, &made) == 0 && lstat(m_temp.c_str(), &named) == 0 &&
                      S_ISREG(named.st_mode) && made.st_dev == named.st_dev &&
                      made.st_ino == named.st_ino;
    const int closed = close(m_fd);
    m_fd = -1;
    if (!same)
        throw Failure("cannot write " + m_target + ": its temporary file " + m_temp +
                      " was replaced while it was written");
    if (closed != 0 || std::rename(m_temp.c_str(), m_target.c_str()) != 0)
        throw Failure("cannot write " + m_target + ": " + std::strerror(errno));
    m_done = true;
    Unwatch();
}

void WriteAll(int fd, const void* data, std::size_t size, const std::string& path) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
        p += n;
        size -= std::size_t(n);
    }
}

void WriteTextFile(const std::string& path, const std::string& text) {
    PendingFile file(path);
    WriteAll(file.Fd(), text.data(), text.size(), path);
    file.Commit();
}

} // namespace app
