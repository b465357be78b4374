# Install rules and packages.
#
#   cmake --install build --prefix DIR          any DIR
#   cpack --config build/CPackConfig.cmake      build/packages/dlmtool_VERSION_ARCH.deb
#   cpack --config build-mingw64/CPackConfig.cmake
#                                               build-mingw64/packages/dlmtool-VERSION-windows.zip
#
# Linux: programs in bin, man pages (from man/*.scd, by scdoc) in share/man,
# bash completion, the udev rule, the sample project and the notes in
# share/doc/dlmtool. Windows: one flat folder; the ZIP holds the 64-bit tree
# in win64/ and, when DLM_WIN32_TREE names the configured 32-bit tree, that
# one in win32/.

include(GNUInstallDirs)

set(DLM_PROGRAMS dlmtool ufw_make dlminspect dlmsim dlmstation)

if(WIN32)
  set(dlm_bin_dir .)
  set(dlm_doc_dir .)
else()
  set(dlm_bin_dir ${CMAKE_INSTALL_BINDIR})
  set(dlm_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/dlmtool)
endif()

foreach(program ${DLM_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${dlm_bin_dir})
  endif()
endforeach()

install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${dlm_doc_dir}/examples PATTERN ".gitignore" EXCLUDE)

if(WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/windows/README.txt DESTINATION . RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
else()
  # Relative to the prefix, so any prefix works; /usr and /usr/local are both
  # directories udev reads.
  set(DLM_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rule goes (relative to the prefix, or absolute)")
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/linux/60-dlmtool.rules DESTINATION ${DLM_UDEV_RULES_DIR})

  # One completion file serves every program; bash-completion loads it by
  # the name of the program being completed.
  set(DLM_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
      "Where the bash completion goes (relative to the prefix, or absolute)")
  foreach(program ${DLM_PROGRAMS})
    if(TARGET ${program})
      install(FILES ${CMAKE_SOURCE_DIR}/completion/dlmtool.bash DESTINATION ${DLM_BASH_COMPLETION_DIR} RENAME ${program})
    endif()
  endforeach()

  # Debian's copyright file: the licence in machine-readable form.
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE dlm_license_text)
  string(REGEX REPLACE "^MIT License\n\n" "" dlm_license_body "${dlm_license_text}")
  string(REGEX REPLACE "\n\n" "\n.\n" dlm_license_body "${dlm_license_body}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" dlm_license_body "${dlm_license_body}")
  file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: dlmtool\n\nFiles: *\nCopyright: 2026 The dlmtool authors\nLicense: MIT\n ${dlm_license_body}")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${dlm_doc_dir})
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${dlm_doc_dir} FILES_MATCHING PATTERN "*.md")
  install(FILES ${CMAKE_SOURCE_DIR}/sim/PROTOCOL.md DESTINATION ${dlm_doc_dir})

  # Man pages: scdoc turns man/NAME.SECTION.scd into roff at build time,
  # gzip -n keeps the result byte for byte the same from build to build.
  find_program(SCDOC scdoc)
  find_program(GZIP gzip)
  if(SCDOC AND GZIP)
    file(GLOB dlm_man_sources ${CMAKE_SOURCE_DIR}/man/*.scd)
    set(dlm_man_pages)
    foreach(source ${dlm_man_sources})
      get_filename_component(page ${source} NAME_WLE)          # dlmtool.1
      string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
      set(roff ${CMAKE_BINARY_DIR}/man/${page})
      add_custom_command(OUTPUT ${roff}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${SCDOC} < ${source} > ${roff}
        COMMAND ${GZIP} -9nf -k ${roff}
        DEPENDS ${source}
        COMMENT "Man page ${page}"
        VERBATIM)
      list(APPEND dlm_man_pages ${roff}.gz)
      install(FILES ${roff}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${dlm_man_pages})
  else()
    message(WARNING "scdoc or gzip not found: no man pages (apt-get install scdoc)")
  endif()
endif()

# Packages.
set(CPACK_PACKAGE_NAME dlmtool)
set(CPACK_PACKAGE_VENDOR "The dlmtool authors")
set(CPACK_PACKAGE_CONTACT "The dlmtool authors <dlmtool@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "download tool for ZK family USB system-on-chip devices")
set(CPACK_PACKAGE_DESCRIPTION
    "dlmtool finds a ZK family chip in download mode on the USB bus, loads its\n"
    "loader, builds the scrambled flash image from a project directory and writes\n"
    "the blocks that changed. ufw_make wraps files into update files, dlminspect\n"
    "checks images, packages and update files, dlmsim plays the chip for rehearsals.\n"
    "License: MIT.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dlmtool-${PROJECT_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  set(DLM_WIN32_TREE "" CACHE PATH "Configured 32-bit mingw tree whose programs go into the ZIP's win32/")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};dlmtool;ALL;/win64")
  if(DLM_WIN32_TREE)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${DLM_WIN32_TREE};dlmtool;ALL;/win32")
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "udev")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
