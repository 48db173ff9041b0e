# SFX_SANITIZE: AddressSanitizer + UndefinedBehaviorSanitizer for every target of the build.
# Asserts stay on in this build (NDEBUG is removed), so invariants are checked too.
if(SFX_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "SFX_SANITIZE is for the native build only")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -UNDEBUG)
  add_link_options(-fsanitize=address,undefined)
endif()

# SFX_SANITIZE_THREAD: ThreadSanitizer for every target, for the tool's threads (the test command
# runs the threaded tool's tests in such a tree). Asserts stay on here too.
if(SFX_SANITIZE_THREAD)
  if(WIN32 OR SFX_SANITIZE)
    message(FATAL_ERROR "SFX_SANITIZE_THREAD is for a native build of its own")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -UNDEBUG)
  add_link_options(-fsanitize=thread)
endif()

# SFX_LIBFUZZER: every target is instrumented for coverage (so the fuzzers see inside the codec
# and the reader), and the fuzz targets link libFuzzer. Needs clang.
option(SFX_LIBFUZZER "Also build the fuzz targets as libFuzzer programs (needs clang)" OFF)
if(SFX_LIBFUZZER)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SFX_LIBFUZZER needs clang: CXX=clang++ CC=clang cmake ...")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -UNDEBUG)
  add_link_options(-fsanitize=address,undefined)
endif()
