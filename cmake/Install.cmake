# `cmake --install` and the Debian package: the programs in bin/, the tool folder (our tools, the
# links to the packaged tools, language files, icons, sound) in lib/orvex/, the launcher and
# its icon, and manual pages for orvex-cli and each tool of ours. The installed programs find
# lib/orvex/ from their own location and keep the user's state in the XDG folders.
if(WIN32)
  return()
endif()

string(REGEX MATCH "^[0-9]+\\.[0-9]+" ORVEX_SHORT_VERSION "${ORVEX_VERSION_TEXT}")
install(TARGETS orvex-cli RUNTIME DESTINATION bin)
# The build tree's bin/config/ holds this build's own state, not the package's; bin/framework/
# holds the link to the packaged framework the APK jobs use until the user installs their own.
install(DIRECTORY ${ORVEX_BIN_DIR}/ DESTINATION lib/orvex USE_SOURCE_PERMISSIONS PATTERN "config" EXCLUDE)

# Manual pages: two written by hand, one per tool of ours made from its --help.
set(_man ${CMAKE_BINARY_DIR}/man)
foreach(_page orvex-cli orvex)
  configure_file(${CMAKE_SOURCE_DIR}/resources/man/${_page}.1 ${_man}/${_page}.1 @ONLY)
endforeach()
install(FILES ${_man}/orvex-cli.1 DESTINATION share/man/man1)
if(TARGET orvex)
  install(FILES ${_man}/orvex.1 DESTINATION share/man/man1)
endif()
get_property(_tools GLOBAL PROPERTY ORVEX_TOOL_TARGETS)
if(_tools AND NOT CMAKE_CROSSCOMPILING)
  set(_list_content "")
  foreach(_t ${_tools})
    get_target_property(_type ${_t} TYPE)
    if(_type STREQUAL "EXECUTABLE")  # jar tools are custom targets
      string(APPEND _list_content "$<TARGET_FILE:${_t}>\n")
    endif()
  endforeach()
  file(GENERATE OUTPUT ${_man}/tools.txt CONTENT "${_list_content}")
  add_custom_command(OUTPUT ${_man}/tools.stamp
    COMMAND ${CMAKE_COMMAND} -DLIST=${_man}/tools.txt -DBINDIR=${ORVEX_BIN_DIR} -DOUTDIR=${_man}/tools -DVERSION=${ORVEX_SHORT_VERSION}
            -DSCRIPT=${CMAKE_SOURCE_DIR}/cmake/MakeManPage.cmake -P ${CMAKE_SOURCE_DIR}/cmake/ToolManPages.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${_man}/tools.stamp
    DEPENDS ${_tools} ${_man}/tools.txt ${CMAKE_SOURCE_DIR}/cmake/MakeManPage.cmake
            ${CMAKE_SOURCE_DIR}/cmake/ToolManPages.cmake
    COMMENT "Writing the tools' manual pages")
  add_custom_target(orvex_man_pages ALL DEPENDS ${_man}/tools.stamp)
  install(DIRECTORY ${_man}/tools/ DESTINATION share/man/man1 FILES_MATCHING PATTERN "*.1")
endif()

# cpack -G DEB: the Debian packages the tool folder links to are dependencies; the libraries our
# programs link against are found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME orvex)
set(CPACK_PACKAGE_VERSION ${ORVEX_VERSION_TEXT})
set(CPACK_PACKAGE_VENDOR "Orvex")
set(CPACK_PACKAGE_CONTACT "Orvex developers <orvex@orvex.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "unpack and repack Android firmware and partition images")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvex takes Android firmware apart and puts it back together: partition images (sparse or raw ext4\n"
    "and EROFS), super images, OTA payloads, transfer lists, vendor containers, boot images, device\n"
    "trees and archives are unpacked into folders and rebuilt in the same form, with backups and a log\n"
    "of every step. It comes as the desktop program orvex and the console program orvex-cli.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "e2fsprogs, erofs-utils, android-sdk-libsparse-utils, 7zip, lz4, device-tree-compiler, busybox, fakeroot, gzip, tar, coreutils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "default-jre-headless, apktool, aapt, zipalign, signapk, android-framework-res")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://orvex.example.org")
include(CPack)
