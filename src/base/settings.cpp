#include "base/settings.h"

#include <cstring>

#include "base/install_dirs.h"

namespace zelv {
namespace {

Settings the_settings;

}  // namespace

Settings& settings() {
    return the_settings;
}

void settings_reset() {
    the_settings = Settings{};
    std::strncpy(the_settings.data_dir, default_data_dir(), kDataDirSize - 1);
}

}  // namespace zelv
