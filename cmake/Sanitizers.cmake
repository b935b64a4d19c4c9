# One sanitizer set for the whole tree, so every library and test in it agrees.
if(REFLASHER_SANITIZE)
  add_compile_options(-fsanitize=${REFLASHER_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${REFLASHER_SANITIZE})
endif()
