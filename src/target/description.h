// The target description: key/value lines loaded once per run from the file named by -t.
//
// Keys are compared exactly and may repeat; every occurrence stays in the list, in file
// order. Returned values are the list's own texts: keep them, never free or change them.
// They stay valid until description_free.
#pragma once

#include <cstdint>
#include <string>

namespace zelv {

// Loads the description named by the `target` setting: the name itself when it is readable
// as named or contains a "/", else data_dir/name.dat. When the file cannot be opened from the
// data directory, a hint says where it looked and that -t also takes a path. A line is everything up to its line
// feed, however long; a file is read to at most 1 MiB ("target description file %s too
// large", EINVAL). Returns 0 or an errno value; on failure the list holds what could be read
// (it is empty after ENOMEM).
[[nodiscard]] int description_load();

// Frees every entry. The cursor must be restarted before the next search.
void description_free();

// With restart set, puts the cursor on the first entry. With a key, returns the value of
// the next matching entry from the cursor on (nullptr when none); without a key, nullptr.
[[nodiscard]] const char* description_get(const char* key, bool restart);

// Returns the value of the next entry with this key from the cursor on, or nullptr.
[[nodiscard]] const char* description_next(const char* key);

// True for a key the program reads.
[[nodiscard]] bool description_key_known(const char* key);

// Warns, on standard error whatever -q says, about every key the program does not read:
// "<file>:<line>: unknown target description key <key>", with " (did you mean <known>?)"
// when a known key is at most two edits away. The run goes on.
void description_warn_unknown_keys();

// Parses the first entry with this key as a number (base 0: decimal, 0x hexadecimal, 0
// octal; the whole value, or the number, white space and a '#' comment) into out; an empty
// value is 0. A minus sign or a value beyond 32
// bits is malformed. out keeps the default when the key is absent or malformed.
// Returns 0, or EINVAL with a message naming the file and line for a malformed value.
[[nodiscard]] int description_number(const char* key, uint32_t* out, uint32_t default_value);

// The path of a data file (a description, an agent): the name as given when it can be read
// as named or holds a "/", else data_dir/name followed by suffix. Returns 0, ENOMEM, or
// ENAMETOOLONG when the path is longer than 256 characters (a path cut to fit would name
// another file); nothing is reported.
[[nodiscard]] int data_file_path(const char* name, const char* suffix, std::string* path);

// The path of a file named in the loaded description (an agent): the name as given when it
// can be read as named; else, for a relative name, the same name in the description's own
// folder when it can be read there (so a description beside its agent works from any current
// folder); else as data_file_path without suffix. Same returns as data_file_path.
[[nodiscard]] int description_file_path(const char* name, std::string* path);

}  // namespace zelv
