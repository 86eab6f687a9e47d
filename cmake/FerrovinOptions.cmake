# One INTERFACE target that carries the language standard, warnings and the
# floating-point rules every target of the project is built with.
add_library(ferrovin_options INTERFACE)
target_compile_features(ferrovin_options INTERFACE cxx_std_20)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(ferrovin_options INTERFACE
  -Wall -Wextra
  # Signatures and the aspect gate depend on the exact rounding of each
  # operation: no fused multiply-add, no value-changing optimisations.
  -ffp-contract=off -fno-fast-math)
if(FERROVIN_WERROR)
  target_compile_options(ferrovin_options INTERFACE -Werror)
endif()
if(FERROVIN_SANITIZE)
  target_compile_options(ferrovin_options INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(ferrovin_options INTERFACE -fsanitize=address,undefined)
endif()
