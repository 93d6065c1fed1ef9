# Debian's hardening flags for every host target, as dpkg-buildflags gives them with
# bindnow added: the tools and the updater handle files that arrive from outside.
#   -fstack-protector-strong   a canary in every function with an array or an address taken
#   -Wformat -Werror=format-security
#                              no printf with a format that is not a literal
#   -D_FORTIFY_SOURCE=2        bounds-checked string and memory calls; it needs the
#                              optimiser, and the sanitizer builds check more already
#   -Wl,-z,relro -Wl,-z,now    the relocations resolved at load time and then read-only
# Executables are position independent (CMAKE_POSITION_INDEPENDENT_CODE and the
# compiler's default), so their addresses are randomised too.
add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
if(NOT VXU_SANITIZE AND NOT VXU_TSAN AND NOT VXU_FUZZ)
  add_compile_definitions($<$<NOT:$<CONFIG:Debug>>:_FORTIFY_SOURCE=2>)
endif()
add_link_options(-Wl,-z,relro -Wl,-z,now)
