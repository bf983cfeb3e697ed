add_compile_options(-Wall -Wextra -Wno-missing-field-initializers)
