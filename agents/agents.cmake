# The one place that says how a programming agent is made from its source, used by the
# build (agents/CMakeLists.txt) and by the test that checks the shipped files
# (check_agents.cmake). Run in script mode or included.
#
# zelv_agent_table: the agents, as "name;source;origin;limit" lists. The origin is where the
# shipped file loads; the limit is the first address the agent with its buffer and stack
# must stay below (the LRAE agent: the boot loader's RAM window ends at 0x3FCF).
set(ZELV_AGENTS bdm lrae)
set(ZELV_AGENT_bdm hcs12-bdm-agent.s19 bdm_agent.s 0x3800 0x4000)
set(ZELV_AGENT_lrae hcs12-lrae-agent.s19 lrae_agent.s 0x3800 0x3FD0)

# zelv_make_agent(name source_dir out_dir as ld objcopy): assembles, links and converts one
# agent into out_dir/<file name>. objcopy names its output in the S0 record, so it runs in
# out_dir with the bare file name: the file is then the same wherever it is built.
function(zelv_make_agent name source_dir out_dir as ld objcopy)
  list(GET ZELV_AGENT_${name} 0 file)
  list(GET ZELV_AGENT_${name} 1 source)
  list(GET ZELV_AGENT_${name} 2 origin)
  list(GET ZELV_AGENT_${name} 3 limit)
  file(MAKE_DIRECTORY "${out_dir}")
  set(object "${out_dir}/${name}_agent.o")
  set(elf "${out_dir}/${name}_agent.elf")
  execute_process(
    COMMAND "${as}" -m68hcs12 -I "${source_dir}" -o "${object}" "${source_dir}/${source}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "assembling ${source} failed")
  endif()
  execute_process(
    COMMAND "${ld}" -m m68hc12elf -T "${source_dir}/agent.ld" --defsym "agent_origin=${origin}"
            --defsym "agent_limit=${limit}" -o "${elf}" "${object}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "linking ${source} failed")
  endif()
  execute_process(COMMAND "${objcopy}" -O srec "${elf}" "${file}"
    WORKING_DIRECTORY "${out_dir}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "converting ${source} failed")
  endif()
endfunction()

# Script mode: make one agent (-DAGENT=name -DSOURCE_DIR=... -DOUT_DIR=... and the tools).
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE AND DEFINED AGENT)
  zelv_make_agent(${AGENT} "${SOURCE_DIR}" "${OUT_DIR}" "${AS}" "${LD}" "${OBJCOPY}")
endif()
