# DAQEVSTAT_SANITIZE: empty, "address" (ASan + UBSan) or "thread" (TSan).
set(DAQEVSTAT_SANITIZE "" CACHE STRING "Sanitizer build: address or thread")

if(DAQEVSTAT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(DAQEVSTAT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT DAQEVSTAT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DAQEVSTAT_SANITIZE must be empty, address or thread")
endif()
