# Project-wide warning and sanitizer flags, applied to every target below the root.
add_compile_options(-Wall -Wextra -Wshadow -Wconversion -Wsign-conversion
                    -Wno-missing-field-initializers)
if(TF_WERROR)
  add_compile_options(-Werror)
endif()

if(TF_SANITIZE)
  add_compile_options(-fsanitize=${TF_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TF_SANITIZE})
endif()
