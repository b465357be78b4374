# Writes OUT (a C++ source defining dlm::source_version) from the project
# version and the source revision that git reports, rewriting the file only
# when the text changes so an unchanged tree relinks nothing.
# Inputs: SOURCE_DIR, OUT, PROJECT_VERSION.
set(revision "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --abbrev=12
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    set(revision "")
  endif()
endif()
if(revision STREQUAL "")
  set(text "${PROJECT_VERSION}")
else()
  set(text "${PROJECT_VERSION} (${revision})")
endif()
set(content "// Written by the build; do not edit.\n#include \"common/version.h\"\n\nconst char* dlm::source_version() { return \"${text}\"; }\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUT}" "${content}")
endif()
