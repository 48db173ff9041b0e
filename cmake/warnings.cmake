# sfx_warnings(target): the project's warning set, applied per target.
function(sfx_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
    if(SFX_WERROR)
      target_compile_options(${target} PRIVATE /WX)
    endif()
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion -Wcast-qual
      -Wformat=2 -Wundef -Wnull-dereference -Wimplicit-fallthrough)
    if(SFX_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()
