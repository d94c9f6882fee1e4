// An output file that replaces what stood at its path only once it is complete, so that a
// read that fails while writing (a full disk, a file size limit) neither leaves a truncated
// S-record file nor destroys the previous one.
//
// A regular file, or a path where nothing exists yet, is written to a temporary file in the
// same folder (the path with six random characters appended) and renamed over the path when
// everything was written, flushed to the disk and closed without error. A device or a pipe
// (/dev/stdout, a FIFO) is written directly, as it cannot be replaced. A symbolic link is
// followed: the file it points at is replaced, the link stays.
#pragma once

#include <cstdio>
#include <string>

namespace zelv {

// Checked before the run touches the target, without creating anything: the folder that
// will hold path exists and can be written (a path that names a device or a pipe is not
// judged). Reports "cannot open %s for writing (%s)" with the folder's error and returns it.
[[nodiscard]] int output_file_check(const char* path);

class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an output neither committed nor discarded is discarded

    // Opens path for writing. Reports "cannot open %s for writing (%s)" and returns the
    // system's error, or ENOMEM ("not enough memory").
    [[nodiscard]] int open(const char* path);

    // The stream to write to; valid between open and commit or discard.
    [[nodiscard]] FILE* stream() const { return stream_; }

    // Flushes and closes, then puts the temporary file in place. Reports a failure ("cannot
    // close file %s (%s)", "cannot replace %s (%s)"), removes the temporary file and returns
    // the system's error; the old file then stays as it was.
    [[nodiscard]] int commit();

    // Gives up: closes the stream and removes the temporary file (what a device has
    // received stays sent). Reports nothing.
    void discard();

private:
    FILE* stream_ = nullptr;
    std::string path_;       // as the caller gave it, for messages
    std::string target_;     // the file to replace (the path, or where its link points)
    std::string temporary_;  // empty when writing directly
};

}  // namespace zelv
