#include "target/description.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/settings.h"

namespace zelv {
namespace {

struct Entry {
    std::string key;
    std::string value;
    unsigned line = 0;  // in the file, for the messages
};

// The description list of the run, in file order, the file it came from, and the search
// cursor (an index; the list's size means "past the end").
struct Description {
    std::vector<Entry> entries;
    std::string path;
    std::size_t cursor = 0;
    std::string folder;  // of the file loaded, with its final '/'; "" for the current folder
};

// Every key the program reads. A key outside this table is read and never used: a typo
// (bdm_init_bite) that would silently move the RAM, so it draws a warning.
constexpr const char* kKnownKeys[] = {
    "info",          "mcu",           "family",           "ram_size",
    "eeprom_module", "eeprom_size",   "flash_module",     "flash_size",
    "flash_nb_base", "flash_nb_size", "ppage_base",       "ppage_count",
    "ppage_default", "bdm_init_byte", "bdm_startup_delay", "bdm_agent",
    "bdm_flash_read", "bdm_flash_write", "bdm_flash_erase", "bdm_eeprom_read",
    "bdm_eeprom_write", "bdm_eeprom_erase", "bdm_eeprom_protect", "lrae_size",
    "lrae_agent",
};

// Levenshtein distance, for naming the known key a typo was meant to be.
std::size_t edit_distance(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    std::vector<std::size_t> row(n + 1);
    for (std::size_t j = 0; j <= n; ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= n; ++j) {
            const std::size_t above = row[j];
            const std::size_t change = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({change, above + 1, row[j - 1] + 1});
            diagonal = above;
        }
    }
    return row[n];
}

Description the_description;

constexpr std::size_t kMaxPath = 256;
// A description is a few dozen short lines; reading stops here, so that a device such as
// /dev/zero, or a wrong file, cannot keep the program reading for ever.
constexpr std::size_t kMaxDescriptionSize = std::size_t{1} << 20;  // 1 MiB

bool is_space(char c) {
    // C locale white space; bytes 0x80 and above never count.
    return std::isspace(static_cast<unsigned char>(c)) != 0 && static_cast<unsigned char>(c) < 0x80;
}

// Reads one whole line, its line feed included, however long it is: the tail of a long
// line belongs to that line and is never parsed as a line of its own, so it cannot set a key
// hidden at the end of a comment. *total counts the bytes read from the file; past
// kMaxDescriptionSize *too_large is set. Returns false when nothing more was read.
bool read_line(FILE* file, std::string* line, std::size_t* total, bool* too_large) {
    line->clear();
    int c = 0;
    while ((c = std::getc(file)) != EOF) {
        if (++*total > kMaxDescriptionSize) {
            *too_large = true;
            return false;
        }
        line->push_back(static_cast<char>(c));
        if (c == '\n') {
            break;
        }
    }
    return !line->empty();
}

// Splits one line into key and value; false for an empty or comment line.
bool parse_line(char* line, std::string* key, std::string* value) {
    line[std::strcspn(line, "\r\n")] = '\0';
    while (is_space(*line)) {
        ++line;
    }
    if (*line == '\0' || *line == '#') {
        return false;
    }
    const char* key_end = line;
    while (*key_end != '\0' && !is_space(*key_end)) {
        ++key_end;
    }
    const char* value_start = key_end;
    while (is_space(*value_start)) {
        ++value_start;
    }
    key->assign(line, static_cast<std::size_t>(key_end - line));
    value->assign(value_start);
    return true;
}

}  // namespace

int data_file_path(const char* name, const char* suffix, std::string* path) {
    try {
        if (access(name, R_OK) == 0 || std::strchr(name, '/') != nullptr) {
            *path = name;
        } else {
            *path = std::string(settings().data_dir) + '/' + name + suffix;
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    // A path cut to fit would name another file; refuse it instead.
    return path->size() > kMaxPath ? ENAMETOOLONG : 0;
}

int description_file_path(const char* name, std::string* path) {
    try {
        const std::string& folder = the_description.folder;
        if (access(name, R_OK) != 0 && name[0] != '/' && !folder.empty()) {
            std::string beside = folder + name;
            if (access(beside.c_str(), R_OK) == 0) {
                *path = std::move(beside);
                return path->size() > kMaxPath ? ENAMETOOLONG : 0;
            }
        }
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return data_file_path(name, "", path);
}

int description_load() {
    std::string path;
    const char* name = settings().target;
    int result = data_file_path(name, ".dat", &path);
    if (result == ENOMEM) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    FILE* file = result == 0 ? std::fopen(path.c_str(), "r") : nullptr;
    if (file == nullptr) {
        if (result == 0) {
            result = errno;
        }
        // A name looked up in the data directory: say both places, since a user who meant a
        // file may not know that a bare name is looked for there.
        const bool looked_up = path != name;
        report_error("cannot open target description file %s (%s)\n%s%s%s%s%s", path.c_str(),
                     std::strerror(result), looked_up ? "hint: no file " : "",
                     looked_up ? name : "",
                     looked_up ? " in the current folder, and no such description in " : "",
                     looked_up ? settings().data_dir : "",
                     looked_up ? "; -t also takes a path to a description file\n" : "");
        return result;
    }
    try {
        const std::size_t slash = path.rfind('/');
        the_description.folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    } catch (const std::bad_alloc&) {
        (void)std::fclose(file);
        report_error("not enough memory\n");
        return ENOMEM;
    }

    std::string line;
    std::size_t total = 0;
    bool too_large = false;
    unsigned line_number = 0;
    try {
        the_description.path = path;
        while (read_line(file, &line, &total, &too_large)) {
            Entry entry;
            entry.line = ++line_number;
            if (parse_line(line.data(), &entry.key, &entry.value)) {
                the_description.entries.push_back(std::move(entry));
            }
        }
    } catch (const std::bad_alloc&) {
        description_free();
        report_error("not enough memory\n");
        result = ENOMEM;
    }
    if (too_large) {
        report_error("target description file %s too large\n", path.c_str());
        result = EINVAL;
    } else if (std::ferror(file) != 0) {
        const int error = errno;
        report_error("cannot read target description file %s (%s)\n", path.c_str(),
                     std::strerror(error));
        if (result != ENOMEM) {
            result = error;
        }
    }
    if (std::fclose(file) != 0) {
        const int error = errno;
        report_error("cannot close target description file %s (%s)\n", path.c_str(),
                     std::strerror(error));
        if (result == 0) {
            result = error;
        }
    }
    return result;
}

void description_free() {
    the_description.path.clear();
    the_description.entries.clear();
    the_description.entries.shrink_to_fit();
    the_description.folder.clear();
}

const char* description_get(const char* key, bool restart) {
    if (restart) {
        the_description.cursor = 0;
    }
    if (key == nullptr) {
        return nullptr;
    }
    return description_next(key);
}

const char* description_next(const char* key) {
    auto& entries = the_description.entries;
    std::size_t& cursor = the_description.cursor;
    while (cursor < entries.size()) {
        const Entry& entry = entries[cursor++];
        if (entry.key == key) {
            return entry.value.c_str();
        }
    }
    cursor = entries.size();
    return nullptr;
}

bool description_key_known(const char* key) {
    for (const char* known : kKnownKeys) {
        if (std::strcmp(known, key) == 0) {
            return true;
        }
    }
    return false;
}

void description_warn_unknown_keys() {
    for (const Entry& entry : the_description.entries) {
        if (description_key_known(entry.key.c_str())) {
            continue;
        }
        const char* closest = nullptr;
        std::size_t best = 0;
        for (const char* known : kKnownKeys) {
            const std::size_t distance = edit_distance(entry.key, known);
            if (closest == nullptr || distance < best) {
                closest = known;
                best = distance;
            }
        }
        const std::string key = printable(entry.key.c_str());
        const std::string path = printable(the_description.path.c_str());
        // Two edits reach a typo's key; further off, a key of the user's own.
        if (best <= 2) {
            report_warning("%s:%u: unknown target description key %s (did you mean %s?)\n",
                           path.c_str(), entry.line, key.c_str(), closest);
        } else {
            report_warning("%s:%u: unknown target description key %s\n", path.c_str(),
                           entry.line, key.c_str());
        }
    }
}

int description_number(const char* key, uint32_t* out, uint32_t default_value) {
    *out = default_value;
    const Entry* found = nullptr;
    for (const Entry& entry : the_description.entries) {
        if (entry.key == key) {
            found = &entry;
            break;
        }
    }
    if (found == nullptr) {
        return 0;
    }
    const char* value = found->value.c_str();
    // strtoull would take a minus sign as "wrap around" and a value past 32 bits would be
    // cut: "ram_size -1" must not become 4 GB of RAM.
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(value, &end, 0);
    // A comment may follow a number after white space ("ram_size 0x2000   # 8 KB").
    const char* rest = end;
    while (rest != value && is_space(*rest)) {
        ++rest;
    }
    const bool comment = rest != end && *rest == '#';
    if ((*end != '\0' && !comment) || std::find(value, static_cast<const char*>(end), '-') != end ||
        errno == ERANGE || number > 0xFFFFFFFFULL) {
        report_error("%s:%u: invalid value for target description parameter %s\n",
                     printable(the_description.path.c_str()).c_str(), found->line, key);
        return EINVAL;
    }
    *out = static_cast<uint32_t>(number);
    return 0;
}

}  // namespace zelv
