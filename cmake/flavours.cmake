# Build flavours: the same library built as the program that carries it needs it. A folder that
# owns a library offers a function that builds it in a flavour (codec/CMakeLists.txt,
# launcher/core/CMakeLists.txt); whoever needs a flavour calls that function, and no target is
# ever changed from another folder.
#
#   HOST  the build type's own flags: the native tools and the tests.
#   STUB  as a launcher stub carries it: built for size, without exceptions, RTTI or unwind
#         tables, each function in its own section for the linker to drop, without debug
#         information or asserts whatever the build type, and with the source tree's path left
#         out of the output, so that the stub's bytes depend on the source alone.
#         SPEED marks the one piece built for speed instead: the decoder, the stub's inner loop,
#         built with -O2 and its loops kept rolled decodes 2.3 times as fast as built for size
#         (918 against 402 MB/s as 32-bit code) for 344 more bytes, where unrolling would add
#         10 KB for no gain (`bench/stub-decoder.sh`, corpus).
#   TOOL  the tool of a Windows tree, which codes whole installers: the build type's flags and, on
#         32-bit x86, SSE2 (which every processor Windows runs on has). It writes the same bytes.
#
# A Windows tree builds its libraries as STUB by default, so that its tests test what ships.
if(WIN32)
  set(SFX_DEFAULT_FLAVOUR STUB)
else()
  set(SFX_DEFAULT_FLAVOUR HOST)
endif()

set(SFX_STUB_OPTIONS -fno-ident -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -ffunction-sections
                     -fno-threadsafe-statics -g0 -DNDEBUG -ffile-prefix-map=${PROJECT_SOURCE_DIR}=.)

# sfx_flavour(TARGET FLAVOUR [SPEED]): gives TARGET the compile options of FLAVOUR.
function(sfx_flavour target flavour)
  cmake_parse_arguments(F "SPEED" "" "" ${ARGN})
  if(flavour STREQUAL "STUB")
    if(F_SPEED)
      target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:-O2;${SFX_STUB_OPTIONS}>")
      target_compile_definitions(${target} PRIVATE SFX_KEEP_LOOPS_ROLLED)
    else()
      target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:CXX>:-Oz;${SFX_STUB_OPTIONS}>")
    endif()
  elseif(flavour STREQUAL "TOOL")
    if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
      target_compile_options(${target} PRIVATE -msse2)
    endif()
  elseif(NOT flavour STREQUAL "HOST")
    message(FATAL_ERROR "sfx_flavour: unknown flavour '${flavour}' for ${target}")
  endif()
endfunction()
