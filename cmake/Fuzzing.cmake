# With HARKWELL_FUZZ, every library is built with coverage for libFuzzer and the address and
# undefined-behaviour checks; the targets under tests/fuzz link libFuzzer's driver on top.
if(HARKWELL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "HARKWELL_FUZZ needs clang (CC=clang-19 CXX=clang++-19)")
  endif()
  if(HARKWELL_SANITIZE)
    message(FATAL_ERROR "HARKWELL_FUZZ brings its own sanitizers; leave HARKWELL_SANITIZE off")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
