# Warnings for every target of the project, set once on an interface target.
add_library(vxu_warnings INTERFACE)
target_compile_options(vxu_warnings INTERFACE
  -Wall          # the common set
  -Wextra        # unused parameters, sign comparisons, missing initialisers
  -Wpedantic     # no compiler extensions: the device compiler is another one
  -Wshadow       # a local that hides another is a bug waiting to happen
  -Werror        # a warning stops the build
)
