# orvex_tool(<name> [SUBDIR <folder under bin>] [OUTPUT_NAME <file name>] SOURCES ... [LIBS ...])
# Builds one of our own console tools straight into the Workspace root bin/ (or a folder below it),
# under the name that the jobs start it by.
function(orvex_tool name)
  cmake_parse_arguments(T "" "SUBDIR;OUTPUT_NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS})
  set(_dir ${ORVEX_BIN_DIR})
  if(T_SUBDIR)
    set(_dir ${ORVEX_BIN_DIR}/${T_SUBDIR})
  endif()
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${_dir})
  if(T_OUTPUT_NAME)
    set_target_properties(${name} PROPERTIES OUTPUT_NAME ${T_OUTPUT_NAME})
  endif()
  set_property(GLOBAL APPEND PROPERTY ORVEX_TOOL_TARGETS ${name})
endfunction()

# orvex_tool_alias(<target> <file name under bin>): a second name for a built tool (a symbolic link).
function(orvex_tool_alias target alias)
  if(WIN32)
    # Windows lets ordinary users make no symbolic links: a copy, with the .exe the jobs add.
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${target}>
              ${ORVEX_BIN_DIR}/${alias}${CMAKE_EXECUTABLE_SUFFIX}
      VERBATIM)
  else()
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E create_symlink $<TARGET_FILE_NAME:${target}> ${ORVEX_BIN_DIR}/${alias}
      VERBATIM)
  endif()
endfunction()

# orvex_link_system_tool(<name under bin> <program names...>): links a packaged tool into bin/
# under the name the jobs use. A tool that is not installed is left out: the interpreter then
# reports it missing when a job starts it.
function(orvex_link_system_tool relname)
  set(_var ORVEX_SYSTOOL_${relname})
  string(MAKE_C_IDENTIFIER "${_var}" _var)
  find_program(${_var} NAMES ${ARGN} PATHS /usr/sbin /sbin /usr/bin /bin)
  if(${_var})
    get_filename_component(_d ${ORVEX_BIN_DIR}/${relname} DIRECTORY)
    file(MAKE_DIRECTORY ${_d})
    file(CREATE_LINK ${${_var}} ${ORVEX_BIN_DIR}/${relname} SYMBOLIC)
  else()
    message(STATUS "System tool for bin/${relname} not found (${ARGN})")
  endif()
endfunction()
