// The folders an installed zelvanor reads: the data directory (target descriptions, agents)
// and, for zelvanor-sim, its library folder.
//
// Both are fixed when the build is configured, from the install prefix, and both are also
// known relative to the programs' own folder (bin/). An install that lands under another
// prefix than the configured one (`cmake --install --prefix`, a package built with its own
// prefix, a tree copied elsewhere) is found beside the running program first; a program run
// from the build tree, where no such folder sits beside it, uses the configured one.
#pragma once

#include <string>

namespace zelv {

// The folder `from_bin` (relative to the running program's folder) when it exists, else
// `configured`. Resolved through /proc/self/exe; symbolic links and ".." are resolved away.
// May throw std::bad_alloc.
[[nodiscard]] std::string installed_folder(const char* from_bin, const char* configured);

// The data directory: <prefix>/share/zelvanor, found as installed_folder finds it. Resolved
// once per process; the text stays valid for the whole run.
[[nodiscard]] const char* default_data_dir();

}  // namespace zelv
