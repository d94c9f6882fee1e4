#include "target/description.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/settings.h"

namespace zelv {
namespace {

struct Entry {
    std::string key;
    std::string value;
};

// The description list of the run, in file order, and the search cursor (an index; the
// list's size means "past the end").
struct Description {
    std::vector<Entry> entries;
    std::size_t cursor = 0;
};

Description the_description;

constexpr std::size_t kMaxPath = 256;
constexpr int kLineSize = 256;  // one read takes at most 255 characters

bool is_space(char c) {
    // C locale white space; bytes 0x80 and above never count.
    return std::isspace(static_cast<unsigned char>(c)) != 0 && static_cast<unsigned char>(c) < 0x80;
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

// The path of the description: the name as given when it can be read as named or holds a
// "/", else data_dir/name.dat. EINVAL-free: only a too long path fails.
int choose_path(const char* name, std::string* path) {
    if (access(name, R_OK) == 0 || std::strchr(name, '/') != nullptr) {
        *path = name;
    } else {
        *path = std::string(settings().data_dir) + '/' + name + ".dat";
    }
    // A path cut to fit would name another file; refuse it instead.
    return path->size() > kMaxPath ? ENAMETOOLONG : 0;
}

}  // namespace

int description_load() {
    std::string path;
    int result = 0;
    try {
        result = choose_path(settings().target, &path);
    } catch (const std::bad_alloc&) {
        report_error("not enough memory\n");
        return ENOMEM;
    }
    if (result != 0) {
        report_error("cannot open target description file %s (%s)\n", path.c_str(),
                     std::strerror(result));
        return result;
    }
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        const int error = errno;
        report_error("cannot open target description file %s (%s)\n", path.c_str(),
                     std::strerror(error));
        return error;
    }

    char line[kLineSize];
    while (std::fgets(line, kLineSize, file) != nullptr) {
        try {
            Entry entry;
            if (parse_line(line, &entry.key, &entry.value)) {
                the_description.entries.push_back(std::move(entry));
            }
        } catch (const std::bad_alloc&) {
            description_free();
            report_error("not enough memory\n");
            result = ENOMEM;
            break;
        }
    }
    if (std::ferror(file) != 0) {
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
    the_description.entries.clear();
    the_description.entries.shrink_to_fit();
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

int description_number(const char* key, uint32_t* out, uint32_t default_value) {
    *out = default_value;
    const char* value = description_get(key, true);
    (void)description_get(nullptr, true);
    if (value == nullptr) {
        return 0;
    }
    char* end = nullptr;
    const unsigned long number = std::strtoul(value, &end, 0);
    if (*end != '\0') {
        report_error("invalid value for target description parameter %s\n", key);
        return EINVAL;
    }
    *out = static_cast<uint32_t>(number);
    return 0;
}

}  // namespace zelv
