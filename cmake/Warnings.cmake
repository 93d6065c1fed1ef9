# Warnings for every target of the project, set once on an interface target.
add_library(vxu_warnings INTERFACE)
target_compile_options(vxu_warnings INTERFACE
  -Wall          # the common set
  -Wextra        # unused parameters, sign comparisons, missing initialisers
  -Wpedantic     # no compiler extensions: the device compiler is another one
  -Wshadow       # a local that hides another is a bug waiting to happen
  -Werror        # a warning stops the build
  # GCC 12 at -O3 reports overlapping copies inside std::string that cannot happen
  # (GCC bug 105651); it stays a warning there so that the Release build goes through.
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-error=restrict>
)
