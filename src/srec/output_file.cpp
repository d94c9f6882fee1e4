#include "srec/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "base/console.h"

namespace zelv {
namespace {

// Where the data must end up: a symbolic link is followed, so that the link stays a link.
// A dangling link gives no target; the caller then writes through it, as fopen would.
bool resolve(const char* path, std::string* target) {
    struct stat link {};
    if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
        char* resolved = realpath(path, nullptr);
        if (resolved == nullptr) {
            return false;
        }
        *target = resolved;
        std::free(resolved);
        return true;
    }
    *target = path;
    return true;
}

// A new file gets the permissions fopen would give it; a replaced file keeps its own.
mode_t mode_for(const struct stat* existing) {
    if (existing != nullptr) {
        return existing->st_mode & 07777;
    }
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

int output_file_check(const char* path) {
    struct stat info {};
    if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        return 0;  // a device or a pipe is written directly
    }
    std::string folder;
    try {
        folder = path;
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    const std::size_t slash = folder.find_last_of('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        const int error = errno;
        report_error("cannot open %s for writing (%s)\n", path, std::strerror(error));
        return error;
    }
    return 0;
}

OutputFile::~OutputFile() {
    discard();
}

int OutputFile::open(const char* path) {
    try {
        path_ = path;
        bool replaceable = resolve(path, &target_);
        struct stat existing {};
        bool exists = false;
        if (replaceable) {
            if (stat(target_.c_str(), &existing) == 0) {
                exists = true;
                // A device, a pipe or a folder is written (or refused) directly.
                replaceable = S_ISREG(existing.st_mode);
            } else {
                // Nothing there yet: a new file. Anything else: let fopen say what is wrong.
                replaceable = errno == ENOENT;
            }
        }

        if (!replaceable) {
            stream_ = std::fopen(path, "w");
            if (stream_ == nullptr) {
                const int error = errno;
                report_error("cannot open %s for writing (%s)\n", path, std::strerror(error));
                return error;
            }
            return 0;
        }

        std::vector<char> name(target_.begin(), target_.end());
        for (const char c : std::string(".XXXXXX")) {
            name.push_back(c);
        }
        name.push_back('\0');
        const int descriptor = mkstemp(name.data());
        if (descriptor < 0) {
            const int error = errno;
            report_error("cannot open %s for writing (%s)\n", path, std::strerror(error));
            return error;
        }
        temporary_ = name.data();
        (void)fchmod(descriptor, mode_for(exists ? &existing : nullptr));
        stream_ = fdopen(descriptor, "w");
        if (stream_ == nullptr) {
            const int error = errno;
            close(descriptor);
            unlink(temporary_.c_str());
            temporary_.clear();
            report_error("cannot open %s for writing (%s)\n", path, std::strerror(error));
            return error;
        }
        return 0;
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
}

int OutputFile::commit() {
    if (stream_ == nullptr) {
        return EINVAL;
    }
    // The data must be on the disk before the name moves to it, or a power cut could leave
    // an empty file under the old name.
    int error = std::fflush(stream_) != 0 ? errno : 0;
    if (error == 0 && !temporary_.empty() && fsync(fileno(stream_)) != 0) {
        error = errno;
    }
    if (std::fclose(stream_) != 0 && error == 0) {
        error = errno;
    }
    stream_ = nullptr;
    if (error != 0) {
        report_error("cannot close file %s (%s)\n", path_.c_str(), std::strerror(error));
    } else if (!temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        error = errno;
        report_error("cannot replace %s (%s)\n", path_.c_str(), std::strerror(error));
    } else {
        temporary_.clear();
    }
    discard();
    return error;
}

void OutputFile::discard() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporary_.empty()) {
        unlink(temporary_.c_str());
        temporary_.clear();
    }
}

}  // namespace zelv
