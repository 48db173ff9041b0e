# sfx_link_rsrc_last(TARGET): links TARGET with the toolchain's own default linker script, changed
# in one way only: the resource section (.rsrc) comes after the base relocations (.reloc), so that
# it is the program's last section.
#
# `sfx pack` writes the publisher's icon, version and texts into the stub's resources. A last
# section can grow or shrink without moving any other section, so the tool rebuilds it whole
# and changes nothing else of the program; it refuses a stub whose resources are not last.
#
# The script is made at configure time from what this very compiler prints with
# `-Wl,--verbose` (between two lines of '=' signs), so it follows the toolchain's defaults for
# everything else; a script without the two stanzas where they are expected stops the configure
# rather than link a launcher the tool cannot rewrite.
function(sfx_link_rsrc_last target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/rsrc-last)
  set(script ${dir}/${target}.ld)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/empty.c "")
  # The link itself fails (there is no entry point); the default script is printed before that.
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -x c ${dir}/empty.c -Wl,--verbose -o ${dir}/probe.exe
    OUTPUT_VARIABLE printed ERROR_QUIET RESULT_VARIABLE ignored)
  if(NOT printed MATCHES "\n=+\n(.*)\n=+\n")
    message(FATAL_ERROR "rsrc-last: ${CMAKE_CXX_COMPILER} -Wl,--verbose printed no linker script")
  endif()
  set(text "${CMAKE_MATCH_1}\n")

  # A stanza is its header line, an opening brace line and everything up to its closing brace;
  # neither holds a brace of its own.
  set(stanza_tail "[^\n]*\n  {\n[^}]*}\n")
  string(REGEX MATCH "\n  \\.rsrc ${stanza_tail}" rsrc "${text}")
  string(REGEX MATCH "\n  \\.reloc ${stanza_tail}" reloc "${text}")
  if(NOT rsrc OR NOT reloc)
    message(FATAL_ERROR "rsrc-last: the default linker script of ${CMAKE_CXX_COMPILER} has no "
                        ".rsrc or no .reloc stanza where expected")
  endif()
  string(REPLACE "${rsrc}" "\n" text "${text}")
  string(REPLACE "${reloc}" "${reloc}${rsrc}" text "${text}")
  file(WRITE ${script}.new "/* Made by rsrc-last.cmake from the default script of ${CMAKE_CXX_COMPILER}:\n   .rsrc moved after .reloc. */\n${text}")
  # Rewritten only when it changes, so that a new configure does not relink the launcher.
  file(COPY_FILE ${script}.new ${script} ONLY_IF_DIFFERENT)
  file(REMOVE ${script}.new ${dir}/probe.exe)

  target_link_options(${target} PRIVATE -Wl,-T,${script})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${script})
endfunction()
