# Every target of the project gets the same warning set through this interface library.
add_library(zelv_warnings INTERFACE)
target_compile_options(zelv_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wformat=2 -Wcast-qual -Wnull-dereference -Wduplicated-cond -Wlogical-op)
if(ZELV_WERROR)
  target_compile_options(zelv_warnings INTERFACE -Werror)
endif()
