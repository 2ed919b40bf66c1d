# The programs of other projects that scripts/windows-deps.sh builds for the Windows tool folder
# (under <cache>/<triplet>/bin), copied into bin\ under the names the jobs start them by. A program
# the cache lacks is left out, as on Linux: docs/windows.md says where a user gets it.
add_custom_target(orvex_system_tools)
set(_windeps_bin "")
if(ORVEX_WINDEPS_DIR AND ORVEX_MINGW_TRIPLET)
  set(_windeps_bin ${ORVEX_WINDEPS_DIR}/${ORVEX_MINGW_TRIPLET}/bin)
endif()
foreach(_prog lz4.exe)
  if(_windeps_bin AND EXISTS ${_windeps_bin}/${_prog})
    add_custom_command(TARGET orvex_system_tools POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_windeps_bin}/${_prog} ${ORVEX_BIN_DIR}/${_prog}
      VERBATIM)
  else()
    message(STATUS "${_prog} for Windows not found in ORVEX_WINDEPS_DIR: bin\\${_prog} is left out")
  endif()
endforeach()
