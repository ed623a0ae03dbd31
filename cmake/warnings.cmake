# Warnings every target of the project builds with.
add_library(daqevstat_warnings INTERFACE)
target_compile_options(daqevstat_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  target_compile_options(daqevstat_warnings INTERFACE -Wthread-safety)
endif()
if(DAQEVSTAT_WERROR)
  target_compile_options(daqevstat_warnings INTERFACE -Werror)
endif()
