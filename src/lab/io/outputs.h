// The files a run writes: every destination checked before any work, then all written or none.
//
// A regular file (or a name not yet taken), wherever it is, is written under a temporary name beside
// it and renamed into place only when every output is complete; it keeps its mode. A symbolic link
// is followed, so its target is replaced and the link stays. A name of one of the process's own
// descriptors (/dev/stdout, /dev/fd/N, /proc/self/fd/N) is written through that descriptor, after
// what is already there; a device or a FIFO is written in place. Their errors are reported.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace lab::io {

// The results could not be written: hashlab prints the message and exits with status 4.
struct write_failed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class output_files {
public:
    // Checks a destination now, as given for `option` ("--json"): bad_input naming the path and
    // the cause when it is empty, a directory, in a missing or unwritable folder, or the same file
    // as an output added before.
    void add(const std::string& option, const std::string& path);
    // bad_input when an output is the same file as this input (compared by device and inode).
    void check_not_input(const std::string& input, const std::string& what) const;
    // Writes contents[i] to the i-th output: all staged first, then the direct ones, then every
    // staged file renamed into place. write_failed, with nothing replaced, if a write fails.
    void write_all(const std::vector<std::string>& contents);
    bool empty() const { return outputs_.empty(); }

private:
    struct output {
        std::string option, given;
        std::string target;  // the file itself: symbolic links followed
        std::string identity;  // of a file not yet there: its folder's real path and its name
        int descriptor;        // this process's own, for /dev/stdout, /proc/self/fd/N and the like
        bool direct;         // not a regular file: written in place, never renamed over
        bool exists;
        dev_t device;
        ino_t inode;
    };
    std::vector<output> outputs_;
};

// Removes the temporary files of a write in progress and restores the default action of the
// signals that end a run (SIGINT, SIGTERM, SIGHUP), so that no staged file outlives the process.
// SIGPIPE is ignored: a closed standard output becomes a write error, reported with status 4.
void install_output_signal_handlers();

}  // namespace lab::io
