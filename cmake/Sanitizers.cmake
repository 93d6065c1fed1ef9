# Sanitizer builds apply to every target, the simulated device libraries included, so
# that a fault in a library the updater loads is caught as well.
if(VXU_SANITIZE AND VXU_TSAN)
  message(FATAL_ERROR "VXU_SANITIZE and VXU_TSAN cannot be combined")
endif()
if(VXU_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
# Fuzz builds instrument every target for libFuzzer's coverage and run it under
# AddressSanitizer and UndefinedBehaviorSanitizer, so a fault in any module the fuzz targets
# reach stops the run; only the fuzz executables themselves link libFuzzer (fuzz/).
if(VXU_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VXU_FUZZ needs clang (use the preset: cmake --preset fuzz)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
if(VXU_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
