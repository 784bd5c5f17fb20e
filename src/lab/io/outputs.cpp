#include "io/outputs.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "core/keys.h"

namespace lab::io {

namespace {

// The staged files of a write in progress, for the signal handler: plain arrays it can read
// without allocating. A slot is in use while its first byte is not NUL.
constexpr int max_staged = 16;
const std::string staging_suffix = ".XXXXXX";
constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};
char staged_paths[max_staged][PATH_MAX + 16];
volatile sig_atomic_t staged_count = 0;

void remove_staged_and_die(int signal_number) {
    for (int i = 0; i < staged_count; ++i)
        if (staged_paths[i][0] != '\0') unlink(staged_paths[i]);
    ::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The descriptor of this process a path names (/dev/stdout, /dev/fd/N, /proc/self/fd/N and the
// like), or -1. Such an output is the stream where it stands: written through the descriptor, after
// what the process already wrote there and appended when the shell opened it to append. Opened
// afresh, it would start at the file's beginning and write over it.
int own_descriptor(const std::string& path) {
    static const std::pair<const char*, int> streams[] = {{"/dev/stdin", 0}, {"/dev/stdout", 1}, {"/dev/stderr", 2}};
    for (const auto& [name, fd] : streams)
        if (path == name) return fd;
    const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
    for (const std::string prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", own.c_str()}) {
        if (path.rfind(prefix, 0) != 0) continue;
        const std::string number = path.substr(prefix.size());
        if (number.empty() || number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos) return -1;
        return std::stoi(number);
    }
    return -1;
}

// The file a path names, its symbolic links followed (also a dangling one, whose target is the
// file to create), stopping at a name of one of this process's descriptors. Gives up after 40
// links, as the kernel does.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40 && own_descriptor(path) < 0; ++hops) {
        struct stat s;
        if (lstat(path.c_str(), &s) != 0 || !S_ISLNK(s.st_mode)) return path;
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) return path;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : directory_of(path) + "/" + target;
    }
    return path;
}

// Writes all of `content` to an open descriptor; false with errno set if it cannot.
bool write_fully(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void install_output_signal_handlers() {
    for (int s : ending_signals) {
        struct sigaction action {};
        action.sa_handler = remove_staged_and_die;
        sigemptyset(&action.sa_mask);
        sigaction(s, &action, nullptr);
    }
    ::signal(SIGPIPE, SIG_IGN);
}

void output_files::add(const std::string& option, const std::string& path) {
    if (path.empty()) throw bad_input(option + ": an empty file name");
    const auto refuse = [&](const std::string& cause) { throw bad_input(path + ": " + cause); };
    output o{option, path, follow_links(path), "", -1, false, false, 0, 0};
    o.descriptor = own_descriptor(o.target);
    struct stat s;
    if (o.descriptor >= 0) {
        const int flags = fcntl(o.descriptor, F_GETFL);
        if (flags < 0 || fstat(o.descriptor, &s) != 0) refuse("descriptor " + std::to_string(o.descriptor) + " is not open");
        if ((flags & O_ACCMODE) == O_RDONLY) refuse("descriptor " + std::to_string(o.descriptor) + " is not open for writing");
        o.direct = o.exists = true;
        o.device = s.st_dev;
        o.inode = s.st_ino;
    } else if (stat(path.c_str(), &s) == 0) {
        if (S_ISDIR(s.st_mode)) refuse(std::strerror(EISDIR));
        o.exists = true;
        o.device = s.st_dev;
        o.inode = s.st_ino;
        // A device or a FIFO is written in place; a regular file, wherever it is, replaced whole.
        o.direct = !S_ISREG(s.st_mode);
        if (access(path.c_str(), W_OK) != 0) refuse(std::strerror(errno));
    } else if (errno != ENOENT) {
        refuse(std::strerror(errno));
    }
    if (!o.direct) {
        // The staged file is made beside the target, and renamed over it: both need its folder.
        const std::string folder = directory_of(o.target);
        struct stat d;
        if (stat(folder.c_str(), &d) != 0) refuse("its folder " + folder + ": " + std::strerror(errno));
        if (!S_ISDIR(d.st_mode)) refuse("its folder " + folder + ": " + std::strerror(ENOTDIR));
        if (access(folder.c_str(), W_OK | X_OK) != 0) refuse("its folder " + folder + ": " + std::strerror(errno));
        char real[PATH_MAX];
        const std::size_t slash = o.target.rfind('/');
        const std::string name = slash == std::string::npos ? o.target : o.target.substr(slash + 1);
        // The staged file's name is the target's and a suffix: too long a name fails here, not
        // after the whole run.
        if (name.size() + staging_suffix.size() > NAME_MAX || o.target.size() + staging_suffix.size() >= PATH_MAX)
            refuse(std::strerror(ENAMETOOLONG));
        o.identity = (realpath(folder.c_str(), real) != nullptr ? std::string(real) : folder) + "/" + name;
    }
    for (const auto& other : outputs_) {
        const bool same = o.exists && other.exists ? o.device == other.device && o.inode == other.inode
                                                   : !o.exists && !other.exists && o.identity == other.identity;
        if (same) refuse("the same file as " + other.option + " " + other.given);
    }
    outputs_.push_back(o);
}

void output_files::check_not_input(const std::string& input, const std::string& what) const {
    struct stat s;
    if (stat(input.c_str(), &s) != 0) return;  // the input's own check names what is wrong with it
    for (const auto& o : outputs_)
        if (o.exists && o.device == s.st_dev && o.inode == s.st_ino)
            throw bad_input(o.given + ": the same file as the input " + what + "; the output would destroy it");
}

namespace {

// A temporary file from `pattern`, listed in `slot` for the signal handler to remove: a signal
// between the file's creation and its entry in the list would leave it behind, so the ending
// signals wait until it is listed. -1 and `error` when it cannot be made.
int make_staged(std::string& pattern, int slot, int& error) {
    sigset_t ending, before;
    sigemptyset(&ending);
    for (int s : ending_signals) sigaddset(&ending, s);
    sigprocmask(SIG_BLOCK, &ending, &before);
    const int fd = mkstemp(pattern.data());
    error = errno;
    if (fd >= 0) {
        std::strcpy(staged_paths[slot], pattern.c_str());
        staged_count = slot + 1;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return fd;
}

// An output written under its temporary name, waiting to take its own.
struct staged {
    std::string temporary, target, given;
};

// Only once every output is written does any take its name; those not yet renamed when a rename
// fails are removed.
void rename_into_place(const std::vector<staged>& files) {
    for (std::size_t f = 0; f < files.size(); ++f) {
        if (rename(files[f].temporary.c_str(), files[f].target.c_str()) != 0) {
            const int error = errno;
            for (std::size_t rest = f; rest < files.size(); ++rest) unlink(files[rest].temporary.c_str());
            staged_count = 0;
            throw write_failed("could not rename the results into place as " + files[f].given + ": " +
                               std::strerror(error));
        }
        staged_paths[f][0] = '\0';
    }
    staged_count = 0;
}

}  // namespace

void output_files::write_all(const std::vector<std::string>& contents) {
    std::vector<staged> files;
    const auto discard = [&] {
        for (const auto& f : files) unlink(f.temporary.c_str());
        staged_count = 0;
    };
    const auto fail = [&](const output& o, int error) {
        discard();
        throw write_failed("could not write " + o.given + ": " + std::strerror(error) + "; no output was replaced");
    };
    const mode_t mask = umask(0);
    umask(mask);
    // 1. Every regular output under a temporary name, complete and on disk.
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        const output& o = outputs_[i];
        if (o.direct) continue;
        std::string pattern = o.target + staging_suffix;
        if (pattern.size() >= sizeof staged_paths[0]) fail(o, ENAMETOOLONG);
        const int slot = static_cast<int>(files.size());
        if (slot >= max_staged) fail(o, EMFILE);
        int error_made = 0;
        const int fd = make_staged(pattern, slot, error_made);
        if (fd < 0) fail(o, error_made);
        files.push_back({pattern, o.target, o.given});
        struct stat old;
        // A replaced file keeps its mode; a new one gets what the umask allows, as any new file.
        const mode_t mode = o.exists && stat(o.target.c_str(), &old) == 0 ? (old.st_mode & 07777) : (0666 & ~mask);
        const bool ok = write_fully(fd, contents[i]) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
        const int error = errno;
        if (close(fd) != 0 || !ok) fail(o, ok ? errno : error);
    }
    // 2. The descriptors, devices and FIFOs, which cannot be staged: a descriptor after what this
    // process already wrote to it, so the console's own text goes first.
    std::cout.flush();
    std::fflush(nullptr);
    for (std::size_t i = 0; i < outputs_.size(); ++i) {
        const output& o = outputs_[i];
        if (!o.direct) continue;
        const int fd = o.descriptor >= 0 ? o.descriptor : open(o.given.c_str(), O_WRONLY | O_CLOEXEC | (o.exists ? 0 : O_CREAT), 0666);
        if (fd < 0) fail(o, errno);
        const bool ok = write_fully(fd, contents[i]);
        const int error = errno;
        if ((o.descriptor < 0 && close(fd) != 0) || !ok) fail(o, ok ? errno : error);
    }
    // 3. Only now does any output take its name.
    rename_into_place(files);
}

}  // namespace lab::io
