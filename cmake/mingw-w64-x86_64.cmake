# Cross-compiling dlmtool.exe and ufw_make.exe with mingw-w64 (x86_64).
# The runtime (libgcc, libstdc++, winpthread) is linked statically, so the
# programs need nothing beside them but the system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DLM_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DLM_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${DLM_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${DLM_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${DLM_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
