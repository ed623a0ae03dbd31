# DAQEVSTAT_SANITIZE: empty, "address" (ASan + UBSan) or "thread" (TSan).
set(DAQEVSTAT_SANITIZE "" CACHE STRING "Sanitizer build: address or thread")

if(DAQEVSTAT_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(DAQEVSTAT_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  # Asio orders a handler's memory with standalone fences on top of its
  # scheduler's mutex; the thread sanitizer cannot model fences (GCC refuses
  # them under -fsanitize=thread), but sees the mutex, which alone orders
  # what the HTTP server, the client and their tests share between threads.
  add_compile_definitions(BOOST_ASIO_DISABLE_FENCED_BLOCK)
elseif(NOT DAQEVSTAT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "DAQEVSTAT_SANITIZE must be empty, address or thread")
endif()
