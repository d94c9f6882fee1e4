# Rebuilds every agent from its source and checks that the files shipped in data/ are what
# the sources make, byte for byte. Without the assembler it says so and ends without
# failing; the test counts that line as skipped.
#   cmake -DSOURCE_DIR=<agents> -DDATA_DIR=<data> -DWORK_DIR=<scratch> -P check_agents.cmake
include("${CMAKE_CURRENT_LIST_DIR}/agents.cmake")

find_program(AS m68hc11-as)
find_program(LD m68hc11-ld)
find_program(OBJCOPY m68hc11-objcopy)
if(NOT AS OR NOT LD OR NOT OBJCOPY)
  message("m68hc11-as, m68hc11-ld or m68hc11-objcopy not found: the agents cannot be rebuilt")
  return()
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
set(failed "")
foreach(name IN LISTS ZELV_AGENTS)
  zelv_make_agent(${name} "${SOURCE_DIR}" "${WORK_DIR}" "${AS}" "${LD}" "${OBJCOPY}")
  list(GET ZELV_AGENT_${name} 0 file)
  file(SHA256 "${WORK_DIR}/${file}" built)
  if(NOT EXISTS "${DATA_DIR}/${file}")
    list(APPEND failed "${file} (not in data/)")
    continue()
  endif()
  file(SHA256 "${DATA_DIR}/${file}" shipped)
  if(NOT built STREQUAL shipped)
    list(APPEND failed "${file}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "data/ differs from what agents/ builds: ${failed}\n"
          "rebuild (cmake --build <dir> --target agents) and copy the files from "
          "<dir>/agents to data/")
endif()
