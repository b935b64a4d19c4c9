# Project-wide warnings; CI builds with REFLASHER_WERROR=ON.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
if(REFLASHER_WERROR)
  add_compile_options(-Werror)
endif()
