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
