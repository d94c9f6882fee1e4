// Thin wrappers over the platform's dynamic loader, for the libraries the program loads at
// run time instead of linking them (the USB library). Each returns 0 or an error number; the
// loader's own text for the last failure stays available for the message.
#pragma once

namespace zelv {

// A function found in a loaded library, to be cast to its real type by the caller.
using DlFunction = void (*)();

// Opens the library by path or by name (the loader's search applies to a bare name), with
// every symbol bound at once, so that a library with unresolved references fails here and
// not in the middle of a run. *handle is nullptr on failure.
[[nodiscard]] int dl_open(const char* path, void** handle);

// Looks up a function by name. *function is nullptr on failure.
[[nodiscard]] int dl_func(void* handle, const char* name, DlFunction* function);

// Closes the library if there is one (nothing to do for nullptr) and empties the handle.
[[nodiscard]] int dl_close(void** handle);

// The loader's text for the last failure of the three above ("" when there was none).
[[nodiscard]] const char* dl_error_text();

}  // namespace zelv
