add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
# The test build (scripts/test) turns warnings into errors, so a new one cannot land unseen.
option(HARKWELL_WERROR "Treat compiler warnings as errors" OFF)
if(HARKWELL_WERROR)
  add_compile_options(-Werror)
endif()
