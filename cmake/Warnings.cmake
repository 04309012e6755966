# Every target of the project compiles with these.
add_compile_options(-Wall -Wextra -Werror)
